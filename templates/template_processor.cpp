// The template processor; see templates/template_processor.h.
#include "templates/template_processor.h"

#include <string>

#include "core/debug_log.h"
#include "core/disk_file.h"
#include "core/event_log.h"
#include "core/file_system.h"
#include "core/message_catalog.h"
#include "core/splitter.h"
#include "net/http_request.h"
#include "templates/common_tags.h"
#include "templates/conditions.h"

namespace {

constexpr int kEventError = 1;
constexpr int kLogError = 3;

std::string Bytes(const CVornString& text) {
    CVornStringLockGuard guard(text);
    return text.Data() ? std::string(text.Data(), static_cast<size_t>(text.Length()))
                       : std::string();
}

CVornString Text(const std::string& bytes) {
    return CVornString(bytes.data(), static_cast<int>(bytes.size()), CVornString::kUnlocked);
}

// One attribute word of a tag into the table.
void AddAttribute(const std::string& word, CVornStringMap& attributes) {
    std::string body = word;
    if (!body.empty() && body[0] == '=') {
        // "=a=b" is a=b; "=a" (no second run of '=') is a bare name as written.
        size_t after = body.find_first_not_of('=');
        if (after == std::string::npos || body.find('=', after) == std::string::npos) {
            attributes.Set(Text(word), CVornString(CVornString::kUnlocked));
            return;
        }
        body.erase(0, after);
    }
    size_t equals = body.find('=');
    if (equals == std::string::npos) {
        attributes.Set(Text(body), CVornString(CVornString::kUnlocked));
        return;
    }
    size_t valueStart = body.find_first_not_of('=', equals);
    CVornString value = Text(valueStart == std::string::npos ? std::string()
                                                             : body.substr(valueStart));
    value.Unquote();
    attributes.Set(Text(body.substr(0, equals)), value);
}

// One rendering of one template: the block stack and what the handlers need.
class CTemplateRun {
public:
    CTemplateRun(CVornHTTPRequest* request, const CVornString& path, const CVornString& user,
                 const CVornString& client, const CVornString& userPerms,
                 const CVornString& objectPerms, PageTagCallback pageTag,
                 TemplateErrorCallback onError)
        : m_Request(request),
          m_Path(path),
          m_User(user),
          m_Client(client),
          m_UserPerms(userPerms),
          m_Conditions{user, client, userPerms, objectPerms},
          m_PageTag(pageTag),
          m_OnError(onError) {}

    // Renders the open file; event 91 once for blocks left open at its end,
    // unless a handler stopped the page.
    void Run(CVornFile& file) {
        CVornString line(CVornString::kUnlocked);
        while (file.ReadLine(line, "\n") > 0) {
            if (!processLine(Bytes(line)))
                return;
        }
        if (m_Depth > 0)
            reportBlockError();
    }

private:
    // Side and outcome of one open block: 1 the If part / the If held, 2 the
    // Else part / the If failed.
    struct Level {
        int m_Side = 1;
        int m_Outcome = 1;
    };

    // False when a handler stopped the page.
    bool processLine(const std::string& line) {
        size_t position = 0;
        for (;;) {
            size_t open = line.find("<X-", position);
            if (open == std::string::npos)
                break;
            write(line, position, open);
            size_t close = line.find('>', open + 3);
            if (close == std::string::npos) {
                write(line, open, line.size());
                return true;
            }
            position = close + 1;
            if (!handleTag(line.substr(open + 3, close - open - 3)))
                return false;
        }
        write(line, position, line.size());
        return true;
    }

    bool suppressed() const {
        for (int i = 0; i < m_Depth; ++i) {
            if (m_Levels[i].m_Side != m_Levels[i].m_Outcome)
                return true;
        }
        return false;
    }

    void write(const std::string& line, size_t from, size_t to) {
        if (to > from && !suppressed())
            m_Request->Write(line.data() + from, static_cast<int>(to - from));
    }

    // False when a handler stopped the page.
    bool handleTag(const std::string& tagText) {
        CVornString name(CVornString::kUnlocked);
        CVornStringMap attributes(0, 0);
        if (!ParseTemplateTag(Text(tagText), name, attributes))
            return true;

        if (name.Equals("If", 0)) {
            // If tags count inside dropped parts too, so that their Fi
            // closes the right block.
            if (m_Depth == kMaxBlockDepth) {
                reportBlockError();
                return true;
            }
            Level& level = m_Levels[m_Depth++];
            level.m_Side = 1;
            level.m_Outcome = EvalIfConditions(m_Request, attributes, m_Conditions) ? 1 : 2;
            return true;
        }
        if (name.Equals("Else", 0)) {
            if (m_Depth == 0)
                reportBlockError();
            else
                m_Levels[m_Depth - 1].m_Side = 2;
            return true;
        }
        if (name.Equals("Fi", 0)) {
            if (m_Depth == 0)
                reportBlockError();
            else
                --m_Depth;
            return true;
        }
        if (suppressed())
            return true;

        int result = m_PageTag ? m_PageTag(m_Request, name, attributes, m_User, m_Client)
                               : kTagNotMine;
        if (result == kTagHandled)
            return true;
        if (result == kTagStopPage)
            return false;
        return DispatchCommonTag(m_Request, name, attributes, m_UserPerms, m_User, m_OnError) !=
               kTagStopPage;
    }

    void reportBlockError() {
        CVornString text(CVornString::kUnlocked);
        text.Format(GetCatalogText(kMsgTemplateBlockError), m_Path.CStr());
        static const unsigned char kNoData[4] = {0, 0, 0, 0};
        WriteEventLog(kEventError, kMsgTemplateBlockError, text.CStr(), 4, kNoData);
    }

    CVornHTTPRequest* m_Request;
    CVornString m_Path{CVornString::kUnlocked};
    const CVornString& m_User;
    const CVornString& m_Client;
    const CVornString& m_UserPerms;
    CPageConditions m_Conditions;
    PageTagCallback m_PageTag;
    TemplateErrorCallback m_OnError;
    Level m_Levels[kMaxBlockDepth];
    int m_Depth = 0;
};

void ShowError(CVornHTTPRequest* request, TemplateErrorCallback onError, const CVornString& text) {
    if (onError) {
        onError(request, text);
        return;
    }
    CVornString line(text, CVornString::kUnlocked);
    LogText(kLogError, line.CStr());
}

// Catalogue text number, or an empty text when the catalogue has none.
CVornString CatalogText(int number) {
    CVornString text(CVornString::kUnlocked);
    if (const char* found = GetCatalogText(number))
        text.Assign(found);
    return text;
}

}  // namespace

bool ParseTemplateTag(const CVornString& tagText, CVornString& name, CVornStringMap& attributes) {
    CVornSplitter words;
    words.SplitQuoted(tagText, " \t", 0, false);
    if (words.Count() == 0)
        return false;
    words.GetAt(0, name);
    CVornString word(CVornString::kUnlocked);
    for (int i = 1; words.GetAt(i, word); ++i) AddAttribute(Bytes(word), attributes);
    return true;
}

void ProcessTemplate(CVornHTTPRequest* request, const CVornString& templateDir,
                     const CVornString& user, const CVornString& client,
                     const CVornString& userPerms, const CVornString& objectPerms,
                     bool inlineError, PageTagCallback pageTag, TemplateErrorCallback onError) {
    if (!request)
        return;
    CVornString what(CVornString::kUnlocked);
    if (!request->m_FormVariables.Get("what", what)) {
        ShowError(request, onError, CatalogText(kMsgTemplateNoPage));
        return;
    }
    // A page name never leaves the template folder; a NUL byte would cut the
    // name short where the file system reads it.
    const std::string page = Bytes(what);
    if (page.find("..") != std::string::npos || page.find('\0') != std::string::npos) {
        ShowError(request, onError, CatalogText(kMsgTemplateCannotOpen));
        return;
    }

    CVornString folder(templateDir, CVornString::kUnlocked);
    CVornString path(CVornString::kUnlocked);
    JoinPath(path, folder.CStr(), what.CStr());
    CVornDiskFile file(path.CStr(), kFileReadOnly | kFileNoPathLock);
    if (!file.Open()) {
        // The page's name, not its path: the server's folders are none of
        // the browser's business. The name came with the request: escaped
        // before it goes into a page.
        CVornString text = CatalogText(kMsgTemplateCannotOpen);
        AppendHtmlEscaped(text, what);
        if (inlineError) {
            request->Write("\r\n");
            request->Write(text);
            request->Finish();
        } else {
            ShowError(request, onError, text);
        }
        return;
    }

    CTemplateRun run(request, path, user, client, userPerms, objectPerms, pageTag, onError);
    run.Run(file);
    file.Close();
}
