// The store API's XML replies on hostile bodies: the reply parser itself (XmlReply, with its
// nesting pre-scan) and the readers of the details, link and user-details replies and of the 403
// page. Besides no crash, no out-of-bounds read and no stack exhaustion: a details reply that is
// accepted lists its installers with ids equal to their positions and names that stay inside
// their folder, and names an icon whose file name is one plain segment; an accepted avatar name
// is one plain segment too.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "api/ApiReplies.h"
#include "api/ConnectionsManager.h"
#include "api/XmlReply.h"
#include "core/TextUtil.h"
#include "engine/ChunkFiles.h"

namespace {

// XmlReply's nesting limit: 256 elements, below which only a text node can sit.
constexpr size_t kDeepestNode = 256;

// Visits every node and attribute of the parsed tree, so that a tree pointing outside the text
// it was parsed from shows up under AddressSanitizer, and one deeper than the pre-scan counted
// (markup that hides nesting from it, as a DOCTYPE's subset did) shows up before the stack runs
// out.
size_t Walk(const XmlReply::Node& node, size_t depth) {
    Require(depth <= kDeepestNode, "the parsed tree is no deeper than the nesting limit allows");
    size_t seen = node.name_size() + node.value_size();
    for (auto* attribute = node.first_attribute(); attribute != nullptr;
         attribute = attribute->next_attribute()) {
        seen += std::string(attribute->name(), attribute->name_size()).size();
        seen += std::string(attribute->value(), attribute->value_size()).size();
    }
    for (const XmlReply::Node* child = node.first_node(); child != nullptr;
         child = child->next_sibling()) {
        seen += Walk(*child, depth + 1);
    }
    return seen;
}

void CheckPlainName(const std::u16string& namePart, const char* what) {
    Require(namePart.size() >= 2 && namePart[0] == u'/', what);
    const std::u16string name = namePart.substr(1);
    Require(name.find(u'/') == std::u16string::npos && IsSafeRelativeName(name), what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzHome();  // the log stays inside the private home
    const std::u16string text =
        Utf8ToWide(std::string_view(reinterpret_cast<const char*>(data), size));

    XmlReply xml;
    if (xml.Parse(text)) {
        for (const char* root : {"game", "file", "user"}) {
            if (const XmlReply::Node* node = xml.Root(root)) {
                Walk(*node, 0);
            }
        }
    }

    if (const auto details = ParseGameDetailsReply(text, u"fuzz-game")) {
        for (size_t i = 0; i < details->files.size(); ++i) {
            const FileInfo& file = details->files[i];
            Require(file.id == i, "installer ids are their positions");
            Require(IsSafeRelativeName(file.name), "installer names stay inside their folder");
        }
        if (!details->iconUrl.empty()) {
            CheckPlainName(details->iconName, "an icon name is one plain segment");
        }
    }

    const LinkReply link = ParseLinkReply(text);
    Require(link.status == LinkReply::Status::Link || link.link.empty(),
            "a refused link reply names no link");

    if (const auto user = ParseUserDetailsReply(text)) {
        for (const auto& url : {user->smallAvatarUrl, user->bigAvatarUrl}) {
            if (url) {
                if (const auto name = AvatarNamePart(*url)) {
                    CheckPlainName(*name, "an avatar name is one plain segment");
                }
            }
        }
    }

    if (const auto message = ForbiddenMessage(text)) {
        Require(message->size() <= text.size(), "the 403 message is taken from the page");
    }
    return 0;
}
