#pragma once

// The one temporary folder of a fuzz process, made at the first call and removed at exit.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace kormlink::fuzz {

inline const std::string& tempDir() {
    // Never destroyed, so the exit handler still finds the name.
    static const std::string* dir = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "kormlink-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(tempDir(), ec);
        });
        return new std::string(pattern);
    }();
    return *dir;
}

}  // namespace kormlink::fuzz
