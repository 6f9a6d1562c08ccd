// Opens the registry file named on the command line and writes DWORD values "<prefix><i>" = i for
// i in [0, count) under "Software\\Velkora\\Shared", one write per value, reading each back.
// Exits 0 only when every write and read succeeded; used to share one store between processes.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Registry.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: registry_writer <file> <prefix> <count>\n");
        return 2;
    }
    auto registry = Registry::Open(argv[1]);
    if (!registry) {
        std::fprintf(stderr, "registry_writer: cannot open %s\n", argv[1]);
        return 1;
    }
    auto key = RegistryKey::Create(registry, u"Software\\Velkora\\Shared");
    if (!key) {
        std::fprintf(stderr, "registry_writer: cannot create the key\n");
        return 1;
    }
    const std::string prefix = argv[2];
    const std::u16string widePrefix(prefix.begin(), prefix.end());  // ASCII prefixes only
    const long count = std::strtol(argv[3], nullptr, 10);
    for (long i = 0; i < count; ++i) {
        const std::string digits = std::to_string(i);
        const std::u16string name = widePrefix + std::u16string(digits.begin(), digits.end());
        const auto value = static_cast<uint32_t>(i);
        if (!key->SetDword(name, value) || key->QueryDword(name) != value) {
            std::fprintf(stderr, "registry_writer: value %s%ld failed\n", prefix.c_str(), i);
            return 1;
        }
    }
    return 0;
}
