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

#include "api/ApiReplies.h"
#include "api/ConnectionsManager.h"
#include "api/WholeFileFetch.h"
#include "core/DebugPrintf.h"
#include "core/DownloadInfo.h"
#include "core/FileInfo.h"
#include "core/NormalisePath.h"
#include "core/TextUtil.h"
#include "engine/ChunkFiles.h"
#include "engine/ChunkIndex.h"

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

void RemoveFile(const std::u16string& path) {
    unlink(WideToUtf8(path).c_str());
}

// What the icon of a details reply led to.
enum class IconOutcome { Unchanged, Set };

// The game's icon lives in the data folder's ".data/" under the URL's last segment and is
// fetched only while no file is there. `reference` receives ".data/" followed by the segment
// with its leading "/", as the records have always stored it.
IconOutcome PlaceIcon(const ConnectionsManager& manager, const std::u16string& game,
                      const GameDetailsReply& details, std::u16string& reference) {
    if (details.iconUrl.empty()) {
        return IconOutcome::Unchanged;
    }
    const std::u16string dataRoot = DataRoot(manager);
    if (dataRoot.empty()) {
        Logger().Warning(u"No data folder: the icon of game (%s) is not stored.",
                         PrintableForLog(game));
        return IconOutcome::Unchanged;
    }
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict overlap in the inlined
    // `string + string + string` form.
    reference = kIconFolder;
    reference += details.iconName;
    std::u16string joined = dataRoot;
    joined += reference;
    const std::u16string localPath = NormalisePath(joined);
    if (RegularFileSize(localPath)) {
        return IconOutcome::Set;
    }
    if (!IsWebUrl(details.iconUrl)) {
        Logger().Warning(u"Icon '%s' of game (%s) is not a web address; it is not fetched.",
                         PrintableForLog(std::u16string_view(details.iconUrl)),
                         PrintableForLog(game));
        return IconOutcome::Unchanged;
    }
    CreateParentFolders(localPath);
    // Only a whole picture ever takes the icon's name: a file there is taken for the icon from
    // then on and never fetched again.
    switch (ReplaceWithWholeFile(localPath, details.iconUrl, kMaxImageBytes, &manager.StopEvent(),
                                 manager.Signals().connectivity.problemReported.get())) {
        case WholeFileFetch::Fetched:
            return IconOutcome::Set;
        case WholeFileFetch::TooLarge:
            Logger().Warning(
                u"Icon '%s' of game (%s) is larger than %I64u bytes; it is not stored.",
                PrintableForLog(std::u16string_view(details.iconUrl)), PrintableForLog(game),
                kMaxImageBytes);
            break;
        case WholeFileFetch::Failed:
        case WholeFileFetch::Stopped:
            break;
    }
    return IconOutcome::Unchanged;
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
    LinkReply parsed = ParseLinkReply(text);
    switch (parsed.status) {
        case LinkReply::Status::NoFile:
            Logger().Error(messages.noFile, id, PrintableForLog(game));
            return false;
        case LinkReply::Status::NoCdnLink:
            Logger().Error(messages.noCdnLink, id, PrintableForLog(game));
            return false;
        case LinkReply::Status::Link:
            break;
    }
    link = std::move(parsed.link);
    return true;
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

    // Every installer and the icon's name are checked before anything is fetched or filled in.
    std::optional<GameDetailsReply> details = ParseGameDetailsReply(text, name);
    if (!details) {
        return false;
    }
    std::u16string iconReference;
    const IconOutcome iconOutcome = PlaceIcon(*this, name, *details, iconReference);

    info.title = std::move(details->title);
    if (iconOutcome == IconOutcome::Set) {
        info.icon = std::move(iconReference);
    }
    for (FileInfo& file : details->files) {
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
            PrintableForLog(std::u16string_view(file.name)));
        return false;
    }
    const std::u16string dataRoot = DataRoot(*this);
    if (dataRoot.empty()) {
        Logger().Warning(u"No data folder: the xml file of '%s' is not fetched.", file.name);
        return false;
    }
    if (!IsWebUrl(link)) {
        Logger().Warning(u"Xml link '%s' of file '%s' is not a web address; it is not fetched.",
                         PrintableForLog(std::u16string_view(link)), file.name);
        return false;
    }
    // The index carries every digest the downloaded bytes are checked against: over plain HTTP
    // anyone on the way could swap both the bytes and their digests. File data may still come
    // over plain HTTP, since this index protects it.
    if (!StartsWithIgnoringCase(link, u"https://")) {
        Logger().Warning(u"Xml link '%s' of file '%s' is not an https address; it is not fetched.",
                         PrintableForLog(std::u16string_view(link)), file.name);
        return false;
    }
    if (!FoldersOfNameStayInside(dataRoot, file.name)) {
        Logger().Warning(
            u"A folder on the way to the xml file of '%s' is a symbolic link or not a "
            u"folder; it is not fetched.",
            file.name);
        return false;
    }
    const std::u16string indexPath = ChunkIndexPath(dataRoot, file.name);
    CreateParentFolders(indexPath);
    const WholeFileFetch fetched = FetchWholeFile(indexPath, link, true, kMaxChunkIndexSize,
                                                  &StopEvent(), &internetProblemReported_);
    if (fetched != WholeFileFetch::Fetched) {
        if (fetched == WholeFileFetch::TooLarge) {
            Logger().Warning(
                u"Xml file '%s.crc' is larger than %I64u bytes. New xml will be downloaded.",
                file.name, kMaxChunkIndexSize);
        }
        // The old index was already cut away; what is left is no index at all.
        RemoveFile(indexPath);
        return false;
    }
    // Read into a copy, so a refused index leaves the caller's file as it was.
    FileInfo read = file;
    if (!ReadChunkIndex(read, recordFolder, dataRoot)) {
        // The reader deletes, with its own line, an index that is not well-formed. One still
        // here was fetched whole just now and still can't be used (it describes no file, most
        // likely); the reader passes that over silently, since on disk it may be stale litter.
        if (RegularFileSize(indexPath)) {
            Logger().Warning(
                u"Xml file '%s.crc' was rejected: it holds no usable file description. New xml "
                u"will be downloaded.",
                file.name);
            RemoveFile(indexPath);
        }
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
