#pragma once
// The signed-in user as the store describes them. A plain record; the avatar references are
// relative to the data folder (".data/" and the image's last URL segment) or empty.
#include <string>

struct UserDetails {
    std::u16string userName;
    std::u16string email;
    std::u16string smallAvatar;
    std::u16string bigAvatar;
};
