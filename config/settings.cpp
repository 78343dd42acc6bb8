// Settings resolution: the value of a setting for a pair of a user and a
// client, looked up along the chain system object, the user's group, the
// user, the client's group, the client; a later level that has the setting
// wins. Each level's value is the one that applies now: from the object's
// time event that applies, else from its base attributes.
//
//   CVornConfigStore::GetSetting            the value along the whole chain
//   CVornConfigStore::GetSettingBuffer      the same into a caller's buffer
//   CVornConfigStore::GetGroupSetting       only the two groups
//   CVornConfigStore::GetObjectSetting      one object
//   CVornConfigStore::GetEffectiveSettings  every level merged into one map
//   CVornConfigObject::MergeSettings        one object's share of that map
//
// Bad input: a null or unknown user or client skips its levels; a group
// that does not exist is skipped; a null setting name finds nothing; a null
// buffer gives -1.
//
// The look-ups hold the store's read lock for the whole chain, so they see
// one table; each object's own lock is taken in turn.
#include <time.h>

#include "config/config_store.h"
#include "config/store_internal.h"
#include "core/clock.h"
#include "core/message_catalog.h"
#include "core/vorn_date.h"

namespace {

// Room for a group's name ("Cast"); a longer name names no group.
const int kCastBufferSize = 4096;

// Catalogue texts of the merged map.
const int kTextWindowEvent = 495;
const int kTextWeekdayEvent = 496;
const int kTextDefaultEvent = 497;
const int kLabelGroup = 625;
const int kLabelClient = 626;
const int kLabelUser = 629;
const int kLabelSystem = 630;

const char* catalogText(int number) {
    const char* text = GetCatalogText(number);
    return text ? text : "";
}

}  // namespace

void CVornConfigStore::getChain(const char* client, const char* user, CVornConfigObject* levels[5],
                                CVornString& userGroup, CVornString& clientGroup) {
    char cast[kCastBufferSize];
    levels[0] = findObject('S', nullptr);
    levels[1] = levels[2] = levels[3] = levels[4] = nullptr;
    userGroup.Clear();
    clientGroup.Clear();
    // A user or client found fills its group's level, then its own.
    auto addLevels = [&](auto* found, CVornString& group, int at) {
        if (!found)
            return;
        cast[0] = '\0';
        found->GetCast(cast, kCastBufferSize);
        group.Assign(cast);
        levels[at] = findObject('G', cast);
        levels[at + 1] = found;
    };
    if (user)
        addLevels(dynamic_cast<CVornUser*>(findObject('U', user)), userGroup, 1);
    if (client)
        addLevels(dynamic_cast<CVornClient*>(findObject('C', client)), clientGroup, 3);
}

int CVornConfigStore::resolveChain(const char* client, const char* user, bool groupsOnly,
                                   const std::function<int(CVornConfigObject*)>& get) {
    State& s = state();
    CVornReadGuard guard(s.m_Lock);
    CVornConfigObject* levels[5];
    CVornString userGroup(CVornString::kUnlocked);
    CVornString clientGroup(CVornString::kUnlocked);
    getChain(client, user, levels, userGroup, clientGroup);
    int result = 1;
    for (int i = groupsOnly ? 1 : 0; i < 5; i += groupsOnly ? 2 : 1) {
        if (levels[i] && get(levels[i]) == 0)
            result = 0;
    }
    return result;
}

int CVornConfigStore::GetSetting(const char* client, const char* user, const char* name,
                                 CVornString& out) {
    out.Clear();
    CheckForChanges();
    if (!name)
        return 1;
    // GetAttribute leaves out as it was when the level lacks the name.
    return resolveChain(client, user, false,
                        [&](CVornConfigObject* level) { return level->GetAttribute(name, out); });
}

int CVornConfigStore::GetSettingBuffer(const char* client, const char* user, const char* name,
                                       char* buffer, int size) {
    if (!buffer || size < 1)
        return -1;
    buffer[0] = '\0';
    CheckForChanges();
    if (!name)
        return 1;
    return resolveChain(client, user, false, [&](CVornConfigObject* level) {
        return level->GetAttributeBuffer(name, buffer, size);
    });
}

int CVornConfigStore::GetGroupSetting(const char* client, const char* user, const char* name,
                                      CVornString& out) {
    CheckForChanges();
    if (!name)
        return 1;
    return resolveChain(client, user, true,
                        [&](CVornConfigObject* level) { return level->GetAttribute(name, out); });
}

int CVornConfigStore::GetObjectSetting(char type, const char* objectName, const char* name,
                                       CVornString& out) {
    if (!name)
        return 1;
    State& s = state();
    CVornReadGuard guard(s.m_Lock);
    CVornConfigObject* object = findObject(type, objectName);
    return object ? object->GetAttribute(name, out) : 1;
}

int CVornConfigStore::GetEffectiveSettings(const char* client, const char* user, int defaultOnly,
                                           CVornStringMap& map) {
    CheckForChanges();
    State& s = state();
    CVornReadGuard guard(s.m_Lock);
    CVornConfigObject* levels[5];
    CVornString userGroup(CVornString::kUnlocked);
    CVornString clientGroup(CVornString::kUnlocked);
    getChain(client, user, levels, userGroup, clientGroup);
    const int labels[5] = {kLabelSystem, kLabelGroup, kLabelUser, kLabelGroup, kLabelClient};
    const char* names[5] = {nullptr, userGroup.CStr(), user, clientGroup.CStr(), client};
    for (int i = 0; i < 5; ++i) {
        if (levels[i])
            levels[i]->MergeSettings(defaultOnly, map, catalogText(labels[i]), names[i]);
    }
    return 0;
}

int CVornConfigObject::MergeSettings(int defaultOnly, CVornStringMap& map, const char* label,
                                     const char* name) {
    CVornLockGuard guard(m_ObjectLock);
    CVornString where(CVornString::kUnlocked);
    map.Get("Where", where);
    if (label)
        where.Append(label);
    if (name && *name) {
        where.Append(" (");
        where.Append(name);
        where.Append(")");
    }
    copyAttributes(map, m_Attributes);

    CVornDate now;
    CVornStringMap* event = ChooseEvent(now, defaultOnly != 0);
    if (!event)
        return 0;
    copyAttributes(map, *event);
    CVornString when(CVornString::kUnlocked);
    event->Get("When", when);
    int kind = when.CharAt(0) == 'E'   ? kTextWindowEvent
               : when.CharAt(0) == 'D' ? kTextDefaultEvent
                                       : kTextWeekdayEvent;
    where.Append(" -- ");
    where.Append(catalogText(kind));
    where.Append(",");
    // After the event's attributes, so an attribute of that name cannot
    // stand in for it.
    map.Set("Where", where);
    return 0;
}
