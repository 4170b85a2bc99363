// Where the load tools (klbench, klsoak, klabuse) find the programs they start: kormlink and the
// simulators rptsim and monsim. The tools run from the build folder (build/tools/klbench beside
// build/tools/rptsim, the server one level up in build/kormlink) and installed, where the server
// and the simulators are in the programs folder and the load tools in a folder of their own,
// kept out of the command path of a production machine.

#pragma once

#include <string>
#include <vector>

namespace kormlink::sim {

// The folders searched for a program, in order: the tool's own folder, its parent (the build
// folder's layout), the programs folder as seen from the tool's installed place, the programs
// folder the build was configured to install to, then every folder of pathList (":"-separated,
// as PATH).
std::vector<std::string> programSearchPath(const std::string& toolDir, const std::string& pathList);

// The first executable regular file called name in programSearchPath(toolDir, pathList); ""
// when there is none. A folder of that name (the tools' own folder is called kormlink) is no
// match.
std::string findProgram(const std::string& name, const std::string& toolDir,
                        const std::string& pathList);

// An executable regular file (a folder of that name is none).
bool isProgramFile(const std::string& path);

// findProgram for the running tool: its folder from /proc/self/exe, the folders from PATH.
std::string findProgram(const std::string& name);

}  // namespace kormlink::sim
