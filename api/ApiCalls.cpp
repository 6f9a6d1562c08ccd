// The store API calls of a download: game details (with the icon), file links, chunk-index links
// and the chunk index itself. They run on the connections manager's request thread.
//
// Everything a reply names is untrusted: installer paths and icon names become file names under
// the data folder (and, for installers, the downloads folder), so each must be a plain relative
// name that stays inside its folder, and a reply that breaks that rule fails the call instead of
// being written anywhere.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "api/ConnectionsManager.h"
#include "api/XmlReply.h"
#include "core/DebugPrintf.h"
#include "core/DownloadInfo.h"
#include "core/FileInfo.h"
#include "core/NormalisePath.h"
#include "core/TextUtil.h"
#include "engine/ChunkFiles.h"
#include "engine/ChunkIndex.h"
#include "engine/Download.h"

namespace {

constexpr std::u16string_view kDetailsPath = u"en/downloader/gameDetails/";
constexpr std::u16string_view kFileLinkPath = u"en/downloader/fileLink/";
constexpr std::u16string_view kIconFolder = u".data/";
constexpr std::u16string_view kForbiddenHeading = u"<h1>403 Forbidden</h1>";

// Characters a path segment may hold as they are (RFC 3986 pchar without pct-encoded).
bool StaysInSegment(unsigned char byte) {
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
        (byte >= '0' && byte <= '9')) {
        return true;
    }
    return std::string_view("-._~!$&'()*+,;=:@").find(static_cast<char>(byte)) !=
           std::string_view::npos;
}

void AppendEscaped(std::u16string& out, unsigned char byte) {
    out.push_back(u'%');
    out += HexByte(byte);
}

// The game name as one path segment. An ordinary name goes out unchanged; a "/", "?", "#" or "%"
// (or anything else a segment can't hold) would address another resource, and a name of dots
// alone would be folded away as "." or ".." by the URL's normalisation.
std::u16string GameSegment(std::u16string_view name) {
    const bool onlyDots =
        !name.empty() && name.find_first_not_of(u'.') == std::u16string_view::npos;
    std::u16string out;
    size_t start = 0;
    for (;;) {
        // WideToUtf8 stops at a zero unit, so each run between zero units is encoded on its own.
        const size_t zero = name.find(u'\0', start);
        const std::u16string_view run =
            name.substr(start, zero == std::u16string_view::npos ? name.npos : zero - start);
        for (const char c : WideToUtf8(run)) {
            const auto byte = static_cast<unsigned char>(c);
            if (!onlyDots && StaysInSegment(byte)) {
                out.push_back(static_cast<char16_t>(byte));
            } else {
                AppendEscaped(out, byte);
            }
        }
        if (zero == std::u16string_view::npos) {
            return out;
        }
        AppendEscaped(out, 0);
        start = zero + 1;
    }
}

// Text from the network shown in a log line: a control character could forge a line break.
std::u16string Printable(std::u16string_view text) {
    std::u16string shown(text.substr(0, 256));
    for (char16_t& unit : shown) {
        if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F)) {
            unit = u'?';
        }
    }
    return shown;
}

std::u16string Printable(std::string_view utf8) {
    std::u16string wide;
    size_t start = 0;
    // Keep what follows a NUL visible too, as "?".
    for (;;) {
        const size_t zero = utf8.find('\0', start);
        wide += Utf8ToWide(
            utf8.substr(start, zero == std::string_view::npos ? utf8.npos : zero - start));
        if (zero == std::string_view::npos) {
            break;
        }
        wide.push_back(u'?');
        start = zero + 1;
    }
    return Printable(std::u16string_view(wide));
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool StartsWithIgnoringCase(std::u16string_view text, std::u16string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        char16_t unit = text[i];
        if (unit >= u'A' && unit <= u'Z') {
            unit = static_cast<char16_t>(unit - u'A' + u'a');
        }
        if (unit != prefix[i]) {
            return false;
        }
    }
    return true;
}

// Only the web's own schemes are fetched: a reply must not make us copy a local file ("file:")
// or talk any other protocol into the data folder.
bool IsWebUrl(std::u16string_view url) {
    return StartsWithIgnoringCase(url, u"http://") || StartsWithIgnoringCase(url, u"https://");
}

// The data folder with exactly one trailing "/", or empty when none was set: an empty folder
// would put our files relative to the working folder, or at the root.
std::u16string DataRoot(const ConnectionsManager& manager) {
    const std::u16string folder = manager.DataFolder();
    return folder.empty() ? std::u16string() : NormaliseFolder(folder);
}

void CreateParentFolders(const std::u16string& path) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(WideToUtf8(path)).parent_path(),
                                        ignored);
}

// Whole-file transfer of `url` into `path`. True only when the whole resource arrived: a body
// that ended early also ends the transfer "complete", but then holds less than its length.
bool FetchWholeFile(const std::u16string& path, const std::u16string& url, bool truncate) {
    Download download(path, url, truncate, 0, 0);
    if (download.Ready()) {
        while (download.ReadSegment()) {
        }
    }
    return download.Complete() &&
           download.Existing() + download.Transferred() == download.ContentLength();
}

void RemoveFile(const std::u16string& path) {
    unlink(WideToUtf8(path).c_str());
}

// What the "icon" element led to.
enum class IconOutcome { Refused, Unchanged, Set };

// The game's icon lives in the data folder's ".data/" under the URL's last
// segment and is fetched only while no file is there. `reference` receives ".data/" followed
// by the segment with its leading "/", as the records have always stored it.
IconOutcome PlaceIcon(const ConnectionsManager& manager, const std::u16string& game,
                      std::string_view iconText, std::u16string& reference) {
    // Pretty-printed replies put line breaks around the text; they are not part of the URL.
    const std::string_view trimmed = TrimBlanks(iconText);
    if (trimmed.find('\0') != std::string_view::npos) {
        Logger().Error(u"Response for game (%s) details request is invalid. Icon '%s' holds a NUL.",
                       Printable(game), Printable(trimmed));
        return IconOutcome::Refused;
    }
    const std::u16string url = Utf8ToWide(trimmed);
    if (url.empty()) {
        return IconOutcome::Unchanged;
    }
    const size_t slash = url.rfind(u'/');
    const std::u16string_view plainName = slash == std::u16string::npos
                                              ? std::u16string_view()
                                              : std::u16string_view(url).substr(slash + 1);
    if (slash == std::u16string::npos || !IsSafeRelativeName(plainName)) {
        Logger().Error(
            u"Response for game (%s) details request is invalid. Icon '%s' does not end in a "
            u"plain file name.",
            Printable(game), Printable(std::u16string_view(url)));
        return IconOutcome::Refused;
    }
    const std::u16string namePart = url.substr(slash);
    const std::u16string dataRoot = DataRoot(manager);
    if (dataRoot.empty()) {
        Logger().Warning(u"No data folder: the icon of game (%s) is not stored.", Printable(game));
        return IconOutcome::Unchanged;
    }
    const std::u16string localPath =
        NormalisePath(dataRoot + std::u16string(kIconFolder) + namePart);
    reference = std::u16string(kIconFolder) + namePart;
    if (RegularFileSize(localPath)) {
        return IconOutcome::Set;
    }
    if (!IsWebUrl(url)) {
        Logger().Warning(u"Icon '%s' of game (%s) is not a web address; it is not fetched.",
                         Printable(std::u16string_view(url)), Printable(game));
        return IconOutcome::Unchanged;
    }
    CreateParentFolders(localPath);
    if (FetchWholeFile(localPath, url, false)) {
        return IconOutcome::Set;
    }
    // Whatever arrived is not the icon, and a file left there would be taken for it from now
    // on and never fetched again. Nothing was there before we started.
    if (RegularFileSize(localPath)) {
        RemoveFile(localPath);
    }
    return IconOutcome::Unchanged;
}

// The installers of a details reply, checked whole before anything of them is used.
bool ReadInstallers(const XmlReply::Node& installers, const std::u16string& game,
                    std::vector<FileInfo>& files) {
    for (const XmlReply::Node* node = installers.first_node(); node != nullptr;
         node = node->next_sibling()) {
        if (node->type() != rapidxml::node_element) {
            continue;
        }
        const size_t position = files.size();
        const std::optional<std::string_view> id = XmlReply::Attribute(*node, "id");
        const std::optional<std::string_view> path = XmlReply::Attribute(*node, "path");
        if (!id || !path) {
            Logger().Error(
                u"Response for game (%s) details request is invalid. Installer %u has no %s.",
                Printable(game), position, id ? u"path" : u"id");
            return false;
        }
        const std::u16string name = Utf8ToWide(*path);
        if (path->find('\0') != std::string_view::npos || !IsSafeRelativeName(name)) {
            Logger().Error(
                u"Response for game (%s) details request is invalid. Installer path '%s' is not "
                u"a safe relative path.",
                Printable(game), Printable(*path));
            return false;
        }
        FileInfo file;
        // The id's low 32 bits, as the records keep it.
        file.id = static_cast<uint32_t>(static_cast<uint64_t>(ReadDecimalInt64(*id)));
        // Ids double as positions in the record's file list throughout the engine; a reply
        // that breaks this would have the engine index past its files.
        if (file.id != position) {
            Logger().Error(
                u"Response for game (%s) details request is invalid. Installer %u has the id %u.",
                Printable(game), position, file.id);
            return false;
        }
        file.name = name;
        files.push_back(std::move(file));
    }
    return true;
}

const XmlReply::Node* Required(const XmlReply::Node* parent, const XmlReply& xml, const char* name,
                               const std::u16string& game) {
    const XmlReply::Node* node =
        parent == nullptr ? xml.Root(name) : XmlReply::Child(*parent, name);
    if (node == nullptr) {
        Logger().Error(u"Response for game (%s) details request is invalid. No <%s> component.",
                       Printable(game), Utf8ToWide(name));
    }
    return node;
}

struct LinkMessages {
    std::u16string_view noFile;
    std::u16string_view noCdnLink;
};

// The two link calls: a signed request whose reply names a content-server URL.
bool FetchCdnLink(ConnectionsManager& manager, const std::u16string& path, int64_t id,
                  const std::u16string& game, const LinkMessages& messages, std::u16string& link,
                  std::u16string& reply) {
    if (manager.IsTerminating()) {
        reply.clear();
        return false;
    }
    std::u16string text;
    if (!manager.ExecuteRequest(path, u"", text)) {
        reply = std::move(text);
        return false;
    }
    XmlReply xml;
    const XmlReply::Node* file = xml.Parse(text) ? xml.Root("file") : nullptr;
    if (file == nullptr) {
        Logger().Error(messages.noFile, id, Printable(game));
        return false;
    }
    const XmlReply::Node* cdnLink = XmlReply::Child(*file, "cdn_link");
    if (cdnLink == nullptr) {
        Logger().Error(messages.noCdnLink, id, Printable(game));
        return false;
    }
    link = Utf8ToWide(XmlReply::Text(*cdnLink));
    return true;
}

std::u16string Decimal(int64_t number) {
    const std::string ascii = std::to_string(number);
    return std::u16string(ascii.begin(), ascii.end());
}

void RemoveAll(std::u16string& text, std::u16string_view what) {
    std::u16string out;
    size_t start = 0;
    for (size_t at = text.find(what); at != std::u16string::npos; at = text.find(what, start)) {
        out.append(text, start, at - start);
        start = at + what.size();
    }
    out.append(text, start);
    text = std::move(out);
}

bool IsWhiteSpace(char16_t unit) {
    return unit == u' ' || (unit >= u'\t' && unit <= u'\r') || unit == 0x85 || unit == 0xA0 ||
           unit == 0x1680 || (unit >= 0x2000 && unit <= 0x200A) || unit == 0x2028 ||
           unit == 0x2029 || unit == 0x202F || unit == 0x205F || unit == 0x3000 || unit == 0xFEFF;
}

// Upper case for the letters a store message may start with: ASCII, Latin-1, Greek and Cyrillic.
char16_t ToUpper(char16_t unit) {
    if ((unit >= u'a' && unit <= u'z') || (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7) ||
        (unit >= 0x3B1 && unit <= 0x3C9 && unit != 0x3C2) || (unit >= 0x430 && unit <= 0x44F)) {
        return static_cast<char16_t>(unit - 0x20);
    }
    if (unit >= 0x450 && unit <= 0x45F) {
        return static_cast<char16_t>(unit - 0x50);
    }
    if (unit == 0xFF) {
        return 0x178;
    }
    return unit;
}

}  // namespace

bool ConnectionsManager::FetchGameDetails(const std::u16string& name, std::u16string& reply,
                                          DownloadInfo& info) {
    const std::u16string path = std::u16string(kDetailsPath) + GameSegment(name);
    if (IsTerminating()) {
        reply.clear();
        return false;
    }
    std::u16string text;
    if (!ExecuteRequest(path, u"", text)) {
        reply = std::move(text);
        return false;
    }

    XmlReply xml;
    if (!xml.Parse(text)) {
        Logger().Error(
            u"Response for game (%s) details request is invalid. It is not well-formed "
            u"XML.",
            Printable(name));
        return false;
    }
    const XmlReply::Node* game = Required(nullptr, xml, "game", name);
    const XmlReply::Node* title = game ? Required(game, xml, "title", name) : nullptr;
    const XmlReply::Node* icon = title ? Required(game, xml, "icon", name) : nullptr;
    const XmlReply::Node* installers = icon ? Required(game, xml, "installers", name) : nullptr;
    if (installers == nullptr) {
        return false;
    }
    // Every installer is checked before anything is fetched or filled in.
    std::vector<FileInfo> files;
    if (!ReadInstallers(*installers, name, files)) {
        return false;
    }
    std::u16string iconReference;
    const IconOutcome iconOutcome = PlaceIcon(*this, name, XmlReply::Text(*icon), iconReference);
    if (iconOutcome == IconOutcome::Refused) {
        return false;
    }

    info.title = Utf8ToWide(XmlReply::Text(*title));
    if (iconOutcome == IconOutcome::Set) {
        info.icon = std::move(iconReference);
    }
    for (FileInfo& file : files) {
        if (IsTerminating()) {
            break;
        }
        info.files.push_back(std::move(file));
    }
    info.name = name;
    return true;
}

bool ConnectionsManager::FetchFileLink(std::u16string& link, std::u16string& reply,
                                       const std::u16string& name, int64_t id) {
    static constexpr LinkMessages kMessages{
        u"Response for file (%d) request for game (%s) is invalid. No <file> component.",
        u"Response for file (%d) request for game (%s) is invalid. No <cdn_link> component."};
    const std::u16string path =
        std::u16string(kFileLinkPath) + GameSegment(name) + u"/installer/" + Decimal(id);
    return FetchCdnLink(*this, path, id, name, kMessages, link, reply);
}

bool ConnectionsManager::FetchChunkIndexLink(std::u16string& link, std::u16string& reply,
                                             const std::u16string& name, uint32_t id) {
    static constexpr LinkMessages kMessages{
        u"Response for file (%d) xml request for game (%s) is invalid. No <file> component.",
        u"Response for file (%d) xml request for game (%s) is invalid. No <cdn_link> "
        u"component."};
    const std::u16string path =
        std::u16string(kFileLinkPath) + GameSegment(name) + u"/installer/" + Decimal(id) + u"/crc";
    return FetchCdnLink(*this, path, id, name, kMessages, link, reply);
}

bool ConnectionsManager::DownloadChunkIndex(const std::u16string& link, FileInfo& file,
                                            const std::u16string& recordFolder) {
    if (!IsSafeRelativeName(file.name)) {
        Logger().Warning(
            u"File name '%s' is not a safe relative path; its xml file is not "
            u"fetched.",
            Printable(std::u16string_view(file.name)));
        return false;
    }
    const std::u16string dataRoot = DataRoot(*this);
    if (dataRoot.empty()) {
        Logger().Warning(u"No data folder: the xml file of '%s' is not fetched.", file.name);
        return false;
    }
    if (!IsWebUrl(link)) {
        Logger().Warning(u"Xml link '%s' of file '%s' is not a web address; it is not fetched.",
                         Printable(std::u16string_view(link)), file.name);
        return false;
    }
    const std::u16string indexPath = ChunkIndexPath(dataRoot, file.name);
    CreateParentFolders(indexPath);
    if (!FetchWholeFile(indexPath, link, true)) {
        // The old index was already cut away; what is left is no index at all.
        RemoveFile(indexPath);
        return false;
    }
    // Read into a copy, so a refused index leaves the caller's file as it was.
    FileInfo read = file;
    if (!ReadChunkIndex(read, recordFolder, dataRoot)) {
        return false;
    }
    // The engine sizes files, plans transfers and names chunk files from this plan; one that
    // does not add up is refused here, before anything is made from it.
    std::u16string reason;
    if (!ValidateChunkPlan(read, &reason)) {
        Logger().Warning(u"Xml file '%s.crc' was rejected: %s. New xml will be downloaded.",
                         file.name, reason);
        RemoveFile(indexPath);
        return false;
    }
    file = std::move(read);
    return true;
}

std::optional<std::u16string> ForbiddenMessage(const std::u16string& reply) {
    if (reply.find(kForbiddenHeading) == std::u16string::npos) {
        return std::nullopt;
    }
    std::u16string message = reply;
    RemoveAll(message, kForbiddenHeading);
    RemoveAll(message, u"<h3>");
    RemoveAll(message, u"</h3>");
    size_t first = 0;
    while (first < message.size() && IsWhiteSpace(message[first])) {
        ++first;
    }
    size_t last = message.size();
    while (last > first && IsWhiteSpace(message[last - 1])) {
        --last;
    }
    message = message.substr(first, last - first);
    if (!message.empty()) {
        message[0] = ToUpper(message[0]);
    }
    return message;
}
