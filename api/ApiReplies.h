#pragma once
// Reading the store API's XML replies into what the calls need. Pure text work: nothing here
// touches the network or a file, so a reply can be judged whole before anything it names is
// fetched or written, and every rule about hostile replies can be tried on its own. A refused
// reply is logged with the same line its call has always written. Stateless; any thread.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/FileInfo.h"

// Text from the network shown in a log line: at most 256 units, and a control character (which
// could forge a line break) shown as "?". The UTF-8 form also shows a NUL, and what follows it.
std::u16string PrintableForLog(std::u16string_view text);
std::u16string PrintableForLog(std::string_view utf8);

// What a game-details reply names; nothing of it has been fetched yet.
struct GameDetailsReply {
    std::u16string title;
    // The icon's address without surrounding blanks; empty when the reply names none, or one
    // that can't be stored under a plain file name (the game goes on without its icon).
    std::u16string iconUrl;
    // The address's last segment with its leading "/" (a plain file name after it) when iconUrl
    // is not empty.
    std::u16string iconName;
    std::vector<FileInfo> files;  // id == position; every name a safe relative path
};

// Nothing, with one Error line naming `game`, when the reply is not well-formed XML, lacks the
// game element or its title, icon or installers, lists an installer without id or path, with a
// path that is not a safe relative path or with an id that is not its position. An icon that
// holds a NUL or does not end in a plain file name is left out with a Warning line.
std::optional<GameDetailsReply> ParseGameDetailsReply(const std::u16string& text,
                                                      const std::u16string& game);

// A file-link or chunk-index-link reply: the text of file/cdn_link. Logs nothing; the two calls
// word their own lines.
struct LinkReply {
    enum class Status { Link, NoFile, NoCdnLink };
    Status status = Status::NoFile;
    std::u16string link;
};
LinkReply ParseLinkReply(const std::u16string& text);

// The user-details reply: name and e-mail are required (with a Warning line when missing or
// when the reply is not well-formed XML); the avatar addresses are present when listed.
struct UserDetailsReply {
    std::u16string userName;
    std::u16string email;
    std::optional<std::u16string> smallAvatarUrl;
    std::optional<std::u16string> bigAvatarUrl;
};
std::optional<UserDetailsReply> ParseUserDetailsReply(const std::u16string& text);

// An avatar address's last segment with its leading "/", or nothing when what follows that "/"
// is not one plain file name (a Warning line then).
std::optional<std::u16string> AvatarNamePart(const std::u16string& url);
