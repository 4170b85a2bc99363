#include "server/apply_settings.h"

#include "server/server.h"

namespace kormlink {

bool applySettings(Server& server, const SettingsForm& form, std::string* error) {
    auto fail = [&](std::string why) {
        if (error) *error = std::move(why);
        return false;
    };
    if (auto problem = settingsProblem(form)) return fail(*problem);

    server.RefreshAll = true;
    const std::string path = server.iniPath();
    std::string why;
    auto ini = loadForRewrite(path, &why);
    if (!ini) return fail(why);
    writeChannelSections(*ini, form);
    if (!ini->save(path, &why))
        return fail("The settings could not be written to " + path + ": " + why);

    // The stop saves every queue to its file; the new channel list takes them back by Id.
    server.StopServer();
    auto rest = loadForRewrite(path, nullptr);
    if (!rest) rest = std::move(ini);  // what was just written, rather than nothing
    writeRemainingKeys(*rest, form);
    const bool saved = rest->save(path, &why);
    if (!saved && error)
        *error = "The settings could not all be written to " + path + ": " + why +
                 ". The server started again with the channels already written.";
    server.LoadConfiguration();
    return saved;
}

}  // namespace kormlink
