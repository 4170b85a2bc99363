#include "program_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace kormlink::sim {

namespace fs = std::filesystem;

bool isProgramFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> programSearchPath(const std::string& toolDir,
                                           const std::string& pathList) {
    std::vector<std::string> dirs;
    const auto add = [&dirs](const fs::path& dir) {
        const std::string d = dir.lexically_normal().string();
        if (d.empty()) return;
        for (const std::string& seen : dirs)
            if (seen == d) return;
        dirs.push_back(d);
    };
    if (!toolDir.empty()) {
        add(toolDir);
        add(fs::path(toolDir) / "..");
        add(fs::path(toolDir) / KORMLINK_TOOLS_TO_PROGRAMS);
    }
    add(KORMLINK_PROGRAMS_DIR);
    std::size_t from = 0;
    for (std::size_t colon; from <= pathList.size(); from = colon + 1) {
        colon = pathList.find(':', from);
        if (colon == std::string::npos) colon = pathList.size();
        if (colon > from) add(pathList.substr(from, colon - from));  // an empty entry is not "."
    }
    return dirs;
}

std::string findProgram(const std::string& name, const std::string& toolDir,
                        const std::string& pathList) {
    for (const std::string& dir : programSearchPath(toolDir, pathList)) {
        const fs::path p = fs::path(dir) / name;
        if (isProgramFile(p.string())) {
            std::error_code ec;
            const fs::path real = fs::canonical(p, ec);
            return ec ? p.string() : real.string();
        }
    }
    return {};
}

std::string findProgram(const std::string& name) {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    const char* path = std::getenv("PATH");
    return findProgram(name, ec ? std::string() : self.parent_path().string(), path ? path : "");
}

}  // namespace kormlink::sim
