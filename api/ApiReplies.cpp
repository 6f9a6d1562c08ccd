#include "api/ApiReplies.h"

#include "api/XmlReply.h"
#include "core/DebugPrintf.h"
#include "core/TextUtil.h"
#include "engine/ChunkFiles.h"
#include "platform/Trim.h"

namespace {

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
                PrintableForLog(game), position, id ? u"path" : u"id");
            return false;
        }
        const std::u16string name = Utf8ToWide(*path);
        if (path->find('\0') != std::string_view::npos || !IsSafeRelativeName(name)) {
            Logger().Error(
                u"Response for game (%s) details request is invalid. Installer path '%s' is not "
                u"a safe relative path.",
                PrintableForLog(game), PrintableForLog(*path));
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
                PrintableForLog(game), position, file.id);
            return false;
        }
        file.name = name;
        files.push_back(std::move(file));
    }
    return true;
}

// The icon's address and its last segment, the name it is stored under in the data folder. An
// address that holds a NUL or does not end in a plain file name can't be stored safely; the game
// goes on without its icon rather than failing over a picture.
void ReadIcon(std::string_view iconText, const std::u16string& game, GameDetailsReply& details) {
    // Pretty-printed replies put line breaks around the text; they are not part of the URL.
    const std::string_view trimmed = Trim(iconText);
    if (trimmed.find('\0') != std::string_view::npos) {
        Logger().Warning(u"Icon '%s' of game (%s) holds a NUL; the game goes on without it.",
                         PrintableForLog(trimmed), PrintableForLog(game));
        return;
    }
    std::u16string url = Utf8ToWide(trimmed);
    if (url.empty()) {
        return;
    }
    const size_t slash = url.rfind(u'/');
    const std::u16string_view plainName = slash == std::u16string::npos
                                              ? std::u16string_view()
                                              : std::u16string_view(url).substr(slash + 1);
    if (slash == std::u16string::npos || !IsSafeRelativeName(plainName)) {
        Logger().Warning(
            u"Icon '%s' of game (%s) does not end in a plain file name; the game goes on "
            u"without it.",
            PrintableForLog(std::u16string_view(url)), PrintableForLog(game));
        return;
    }
    details.iconName = url.substr(slash);
    details.iconUrl = std::move(url);
}

const XmlReply::Node* Required(const XmlReply::Node* parent, const XmlReply& xml, const char* name,
                               const std::u16string& game) {
    const XmlReply::Node* node =
        parent == nullptr ? xml.Root(name) : XmlReply::Child(*parent, name);
    if (node == nullptr) {
        Logger().Error(u"Response for game (%s) details request is invalid. No <%s> component.",
                       PrintableForLog(game), Utf8ToWide(name));
    }
    return node;
}

}  // namespace

std::u16string PrintableForLog(std::u16string_view text) {
    std::u16string shown(text.substr(0, 256));
    for (char16_t& unit : shown) {
        if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F)) {
            unit = u'?';
        }
    }
    return shown;
}

std::u16string PrintableForLog(std::string_view utf8) {
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
    return PrintableForLog(std::u16string_view(wide));
}

std::optional<GameDetailsReply> ParseGameDetailsReply(const std::u16string& text,
                                                      const std::u16string& game) {
    XmlReply xml;
    if (!xml.Parse(text)) {
        Logger().Error(
            u"Response for game (%s) details request is invalid. It is not well-formed "
            u"XML.",
            PrintableForLog(game));
        return std::nullopt;
    }
    const XmlReply::Node* gameNode = Required(nullptr, xml, "game", game);
    const XmlReply::Node* title = gameNode ? Required(gameNode, xml, "title", game) : nullptr;
    const XmlReply::Node* icon = title ? Required(gameNode, xml, "icon", game) : nullptr;
    const XmlReply::Node* installers = icon ? Required(gameNode, xml, "installers", game) : nullptr;
    if (installers == nullptr) {
        return std::nullopt;
    }
    GameDetailsReply details;
    if (!ReadInstallers(*installers, game, details.files)) {
        return std::nullopt;
    }
    ReadIcon(XmlReply::Text(*icon), game, details);
    details.title = Utf8ToWide(XmlReply::Text(*title));
    return details;
}

LinkReply ParseLinkReply(const std::u16string& text) {
    LinkReply reply;
    XmlReply xml;
    const XmlReply::Node* file = xml.Parse(text) ? xml.Root("file") : nullptr;
    if (file == nullptr) {
        reply.status = LinkReply::Status::NoFile;
        return reply;
    }
    const XmlReply::Node* cdnLink = XmlReply::Child(*file, "cdn_link");
    if (cdnLink == nullptr) {
        reply.status = LinkReply::Status::NoCdnLink;
        return reply;
    }
    reply.status = LinkReply::Status::Link;
    reply.link = Utf8ToWide(XmlReply::Text(*cdnLink));
    return reply;
}

std::optional<UserDetailsReply> ParseUserDetailsReply(const std::u16string& text) {
    XmlReply xml;
    if (!xml.Parse(text)) {
        Logger().Warning(u"User details reply is not well-formed XML.");
        return std::nullopt;
    }
    // Without a user, or without name or e-mail, the reply does not prove the token (a redirect
    // page would otherwise count as a sign-in).
    const XmlReply::Node* userNode = xml.Root("user");
    const XmlReply::Node* nameNode =
        userNode != nullptr ? XmlReply::Child(*userNode, "xywka") : nullptr;
    const XmlReply::Node* emailNode =
        userNode != nullptr ? XmlReply::Child(*userNode, "email") : nullptr;
    if (nameNode == nullptr || emailNode == nullptr) {
        Logger().Warning(u"User details reply lacks the user's name or e-mail.");
        return std::nullopt;
    }
    UserDetailsReply user;
    user.userName = Utf8ToWide(XmlReply::Text(*nameNode));
    user.email = Utf8ToWide(XmlReply::Text(*emailNode));
    if (const XmlReply::Node* avatar = XmlReply::Child(*userNode, "avatar")) {
        if (const XmlReply::Node* small = XmlReply::Child(*avatar, "small")) {
            user.smallAvatarUrl = Utf8ToWide(XmlReply::Text(*small));
        }
        if (const XmlReply::Node* big = XmlReply::Child(*avatar, "big")) {
            user.bigAvatarUrl = Utf8ToWide(XmlReply::Text(*big));
        }
    }
    return user;
}

std::optional<std::u16string> AvatarNamePart(const std::u16string& url) {
    const size_t slash = url.rfind(u'/');
    // The name part keeps its leading "/": the reference reads ".data//name.png".
    const std::u16string namePart = slash == std::u16string::npos ? u"" : url.substr(slash);
    const std::u16string name = namePart.empty() ? u"" : namePart.substr(1);
    // The name comes from the network: one plain segment, or nothing is written.
    if (!IsSafeRelativeName(name)) {
        Logger().Warning(u"Avatar '%s' has no usable file name; it is not fetched.",
                         PrintableForLog(std::u16string_view(url)));
        return std::nullopt;
    }
    return namePart;
}
