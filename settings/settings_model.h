#pragma once

// What the settings dialog edits, without any widget: the dialog's copies of the channels
// (tEItem, tEList), the values of its controls as the controls hold them (SettingsForm), how
// they are read from the configuration file, checked, and written back, and the steps of the OK
// sequence that rewrites the file and restarts the server around it.
//
// The dialog only shows a SettingsForm and copies the operator's edits into it; everything
// that decides what is written lives here, so it is tested without a display.
//
// OK sequence (applySettings in server/, which drives the server), in this order:
//   1. the main window's RefreshAll is set;
//   2. every section whose name begins with "Client", and section "Com", is erased;
//   3. section "Client<i>" is written for channel i of the list (from 0): Id, QSize, Flt<j>;
//   4. section "Com": QSize (at least 10) and its Flt<j>, no Id;
//   5. StopServer, which saves every queue to its queue file;
//   6.-10. sections Out, ComIn, the sync periods, the ports and the test time;
//   11. LoadConfiguration, which takes the queues back from their files.
// Every value that would make a step after 5 fail is refused by settingsProblem before
// anything is written, so OK never leaves the server stopped. The rewritten channel sections
// stand together where the first old one stood; every other line of the file stays.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "output/channels.h"
#include "platform/ini.h"

namespace kormlink {

// The dialog's copy of one channel.
struct tEItem {
    // Built from an INI section like a channel (Id, QSize, Flt keys), Id from the "Id" key also
    // for section "Com"; no queue.
    tEItem(const std::string& section, const IniFile& ini);
    // A new channel: that Id, QSize 50, no filters.
    explicit tEItem(std::string id);

    std::string Id;
    std::int32_t QSize = 50;
    tFList Filters;
};
using tEList = std::vector<tEItem>;

// The smallest queue size the dialog writes.
inline constexpr std::int32_t kMinQueueSize = 10;

// The fixed entries of the serial boxes, in their order.
inline constexpr std::array<const char*, 11> kBaudEntries = {
    "300", "600", "1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200", ""};
inline constexpr std::array<const char*, 5> kDataBitsEntries = {"4", "5", "6", "7", "8"};
inline constexpr std::array<const char*, 3> kParityEntries = {"None", "Odd", "Even"};
inline constexpr std::array<const char*, 3> kStopBitsEntries = {"1", "1.5", "2"};
inline constexpr std::array<const char*, 3> kFlowEntries = {"None", "XOn/XOff", "Hardware"};

// One group of serial controls ("Com" page of the output, or "Com In"). Indexes are entry
// numbers of the boxes; -1 is no selection, and a box without selection leaves its key in the
// file as it is.
struct SerialForm {
    std::string port;      // the selected port entry ("COM3"); the list always holds it
    std::string baud;      // the selected baud entry text; "" is the empty entry
    bool baudSelected = false;
    int dataIndex = -1;    // DataBits - 4
    int parityIndex = -1;
    int stopIndex = -1;
    int flowIndex = -1;
};

// The values of the dialog's controls.
struct SettingsForm {
    // Entries of PortBox ("COM1".."COM99" that exist) and of PortBoxI ("COM0" first). The port
    // configured in the file is listed even when its device is missing, so a box always has a
    // selection and an unplugged adapter does not erase the setting.
    std::vector<std::string> outPorts;
    std::vector<std::string> inPorts;
    SerialForm out;        // page "Com"
    SerialForm in;         // group "Com In"
    std::string outSync;   // TOSyncEd, "hh:mm"
    std::string inSync;    // TSyncEd
    std::string outPort;   // EPort
    std::string inPort;    // EIPort
    std::string testTime;  // eTTim, minutes
    int page = 0;          // visible page of "Output": 0 TcpIp, 1 Com (Out/Mode; never written)
    bool comOn = false;    // ComOnB
    tEList channels;       // client channels, one per line of ChBox
    tEItem serial{"Com"};  // the serial channel's copy
    std::string serialQSize;  // EComQSiz
};

// The port numbers 1..99 whose device exists and is a terminal (a port held open by someone
// else counts), mapped through section Ports.
std::vector<int> existingSerialPorts(const IniFile& ini);

// Fills the form as the dialog opens: serial groups, sync times, ports, the running test time
// (ms, shown in whole minutes) and serial output state, the channel copies from the "Client"
// sections in file order and the serial copy from section "Com". ports: existingSerialPorts.
SettingsForm readSettingsForm(const IniFile& ini, const std::vector<int>& ports,
                              std::int64_t testTimeMs, bool comOn);

// "hh:mm" as minutes (hours 0-99, as the edit mask allows, minutes 0-59; blanks of an unfilled
// mask are ignored); nullopt when it does not read as a time.
std::optional<int> parseSyncTime(std::string_view text);
// minutes as "%2.2d:%2.2d".
std::string formatSyncTime(int minutes);
// A queue size as typed: below 10 (or empty) becomes 10; nullopt when it is no number.
std::optional<std::int32_t> parseQueueSize(std::string_view text);

// Why a channel Id cannot be added (empty, or holding "/" or a NUL, so it names no queue
// file); nullopt when it can.
std::optional<std::string> channelIdProblem(std::string_view id);
// The first value of the form that would make OK fail after the server is stopped, as a
// message for the operator; nullopt when the form can be applied.
std::optional<std::string> settingsProblem(const SettingsForm& form);

// The five columns of a filter row: SysNr "%2.2X", IdFrom, IdTo, the slot mask as eight "1"/"0"
// (slot 7 first), "On"/"Off".
std::array<std::string, 5> filterRow(const tFItem& filter);
// A filter from the filter dialog's fields: From and To decimal (cut to 16 bits), SysNr
// hexadecimal (cut to 8 bits); an empty field reads as 0.
tFItem filterFromFields(std::string_view sysNr, std::string_view from, std::string_view to,
                        std::uint8_t slotMask, bool rptOn);
// The dialog's text of SysNr: "%2.2X".
std::string formatSysNr(std::uint8_t sysNr);

// Steps 2-4 and 6-10 of the OK sequence, on an INI image (no file is touched).
void writeChannelSections(IniFile& ini, const SettingsForm& form);
void writeRemainingKeys(IniFile& ini, const SettingsForm& form);

// The configuration file as an image to rewrite: an empty image when the file is missing (every
// default applies); nullopt when it is there but cannot be read, because replacing it with the
// dialog's keys alone would lose the rest.
std::optional<IniFile> loadForRewrite(const std::string& path, std::string* error);

}  // namespace kormlink
