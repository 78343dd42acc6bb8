// The sort orders of directory listings (see listing_orders.h).
#include "webadmin/listing_orders.h"

#include <string.h>

namespace {

int Sign(long long difference) {
    return difference < 0 ? -1 : difference > 0 ? 1 : 0;
}

int ByName(const DirectoryListEntry* a, const DirectoryListEntry* b) {
    return a->m_Name.Compare(b->m_Name, 0);
}
int BySize(const DirectoryListEntry* a, const DirectoryListEntry* b) {
    return a->m_Size < b->m_Size ? -1 : a->m_Size > b->m_Size ? 1 : 0;
}
int ByType(const DirectoryListEntry* a, const DirectoryListEntry* b) {
    return a->m_Type.Compare(b->m_Type, 0);
}
int ByDate(const DirectoryListEntry* a, const DirectoryListEntry* b) {
    return a->m_Date.Compare(b->m_Date);
}
int ByOther(const DirectoryListEntry* a, const DirectoryListEntry* b) {
    return a->m_Other.Compare(b->m_Other, 0);
}

template <DirectoryListCompare Compare>
int Reversed(const DirectoryListEntry* a, const DirectoryListEntry* b) {
    return -Sign(Compare(a, b));
}

struct ListOrder {
    const char* m_Key;
    DirectoryListCompare m_Compare;
};

constexpr ListOrder kListOrders[] = {
    {"sort=name", ByName},   {"sort=namerev", Reversed<ByName>},
    {"sort=size", BySize},   {"sort=sizerev", Reversed<BySize>},
    {"sort=type", ByType},   {"sort=typerev", Reversed<ByType>},
    {"sort=date", ByDate},   {"sort=daterev", Reversed<ByDate>},
    {"sort=other", ByOther}, {"sort=otherrev", Reversed<ByOther>},
};

}  // namespace

DirectoryListCompare FindDirectoryListOrder(const char* key) {
    if (key == nullptr)
        return nullptr;
    for (const ListOrder& order : kListOrders) {
        if (strcmp(order.m_Key, key) == 0)
            return order.m_Compare;
    }
    return nullptr;
}
