#include "config_image/field_table.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "config_image/cfg_image.h"

namespace kormlink {
namespace {

const std::vector<std::string> kDirections = {"None", "RF", "I-Net", "COM/USB", "GSM/GPRS"};

// Builds the table row by row; the helpers fill in what a row of each kind always has, so the
// rows below read like the memory map itself.
class TableBuilder {
  public:
    explicit TableBuilder(std::vector<FieldDef>& table) : m_table(table) {}

    // A decimal or hexadecimal byte, or a big-endian word, of the general block.
    FieldDef& general(std::uint16_t address, FieldEncoding encoding, std::string name,
                      std::string caption, std::string unit, EditorPage page) {
        FieldDef& f = add(FieldArea::General, address - kGeneralFirst, encoding, std::move(name));
        f.caption = std::move(caption);
        f.unit = std::move(unit);
        f.page = page;
        // The decimal key filter covers every numeric field of these pages except the
        // hexadecimal ones; eFirmID is the exception fixed up by the caller.
        if (encoding == FieldEncoding::Hex8) {
            f.filter = KeyFilter::Hexadecimal;
            f.maxLength = 2;
        } else if (encoding == FieldEncoding::Dec8 || encoding == FieldEncoding::Be16) {
            f.filter = KeyFilter::Decimal;
        }
        return f;
    }

    // One byte of check boxes.
    FieldDef& bits(FieldArea area, std::uint16_t offset, std::string caption, EditorPage page,
                   std::vector<CheckBoxDef> checks) {
        FieldDef& f = add(area, offset, FieldEncoding::Bits, "");
        f.caption = std::move(caption);
        f.page = page;
        f.checks = std::move(checks);
        return f;
    }

    FieldDef& onehot(FieldArea area, std::uint16_t offset, std::string name, std::string caption,
                     EditorPage page, std::vector<std::string> choices) {
        FieldDef& f = add(area, offset, FieldEncoding::OneHot, std::move(name));
        f.caption = std::move(caption);
        f.page = page;
        f.choices = std::move(choices);
        return f;
    }

    // A field of the network block ("Wiznet Settings" page, no key filter).
    FieldDef& network(std::uint16_t address, FieldEncoding encoding, std::string name,
                      int maxLength, int chars = 0) {
        FieldDef& f = add(FieldArea::Network, address - kNetworkFirst, encoding, name);
        f.page = EditorPage::Wiznet;
        f.caption = name.substr(1);
        f.maxLength = maxLength;
        f.chars = chars;
        return f;
    }

    // A field of the slot record ("Slots" page, no key filter).
    FieldDef& slot(std::uint16_t offset, FieldEncoding encoding, std::string name,
                   std::string caption, std::string unit, int maxLength) {
        FieldDef& f = add(FieldArea::Slot, offset, encoding, std::move(name));
        f.page = EditorPage::Slots;
        f.caption = std::move(caption);
        f.unit = std::move(unit);
        f.maxLength = maxLength;
        return f;
    }

  private:
    FieldDef& add(FieldArea area, int offset, FieldEncoding encoding, std::string name) {
        FieldDef& f = m_table.emplace_back();
        f.name = std::move(name);
        f.area = area;
        f.offset = static_cast<std::uint16_t>(offset);
        f.encoding = encoding;
        return f;
    }

    std::vector<FieldDef>& m_table;
};

std::string numbered(std::string_view prefix, int n, std::string_view suffix = "") {
    return std::string(prefix) + std::to_string(n) + std::string(suffix);
}

// The four direction check boxes of one byte: RF, I-Net, COM/USB, GSM/GPRS at bits 0-3.
std::vector<CheckBoxDef> directionBoxes(const std::string& rf, const std::string& inet,
                                        const std::string& com, const std::string& gsm) {
    return {{rf, "RF", 0}, {inet, "I-Net", 1}, {com, "COM/USB", 2}, {gsm, "GSM/GPRS", 3}};
}

// Check boxes whose captions are their names without the leading "e", at bits 0, 1, 2, ...
std::vector<CheckBoxDef> namedBoxes(std::initializer_list<const char*> names) {
    std::vector<CheckBoxDef> boxes;
    int bit = 0;
    for (const char* name : names) boxes.push_back({name, std::string(name).substr(1), bit++});
    return boxes;
}

void addGeneralBlock(TableBuilder& t) {
    using E = FieldEncoding;
    constexpr EditorPage G = EditorPage::General, A = EditorPage::Advanced;
    t.general(0x1000, E::Dec8, "eRepAddr", "RPT Address", "", G);
    t.general(0x1001, E::Dec8, "eNextRepAddr", "Next RPT Addr", "", G);
    t.general(0x1002, E::Dec8, "eRadioTestPeriod", "Test period (RF)", "Hours", G);
    t.general(0x1003, E::Dec8, "eInetTestPeriod", "Test period (I-Net)", "Sec", G);
    t.general(0x1004, E::Dec8, "eNumberOfMesRadioTx", "Mess per event (RF)", "", G);
    t.general(0x1005, E::Dec8, "eZonesResponseValue", "Zones Resp. Time", "x25 ms", A);
    for (int n = 0; n < 8; ++n) {
        t.general(0x1006 + n, E::Hex8, numbered("eTxScramblerMaskSlot", n), "Scrambler Mask",
                  numbered("Ch", n + 1), G);
    }
    t.bits(FieldArea::General, 0x0E, "RPT Mes.Direction", G,
           directionBoxes("eRADIO_r", "eCOM2_r", "eCOM1_r", "eGSM_r"));
    for (int n = 0; n < 8; ++n) {
        FieldDef& f = t.bits(FieldArea::General, 0x0F + n, "MesDirections", G,
                             directionBoxes(numbered("eRF_", n), numbered("eCOM2_", n),
                                            numbered("eCOM1_", n), numbered("eGSM_", n)));
        f.tab = numbered("Ch", n + 1);
    }
    t.bits(FieldArea::General, 0x17, "RPT Tx config", G,
           {{"eRadio_ON", "RF on", 0},
            {"eWiznet_ON", "I-Net on", 1},
            {"eWiznet_Ack", "I-Net Ack", 2},
            {"eCom1_On", "Com/USB On", 3},
            {"eCom1_Ack", "Com/USB Ack", 4},
            {"eGsm_ON", "Gsm ON", 5},
            {"eGsm_Ack", "Gsm Ack", 6},
            {"eCheck_Dup", "No Duplic.", 7}});
    t.general(0x1018, E::Dec8, "eNumOfScrMaskForRep", "Scr for RPT mess.", "Ch", G);
    t.general(0x1019, E::Dec8, "eMessagesLifeTime", "Buff. mes lifetime", "x5 sec", A);
    t.general(0x101A, E::Dec8, "eRXPreambleBits", "RXPreamble", "Bit", A);
    t.general(0x101B, E::Dec8, "eTXPreambleBytes", "TXPreamble", "Bytes", A);
    t.general(0x101C, E::Dec8, "ePspStepTime", "PspStepTime", "64/128", A);
    t.general(0x101D, E::Hex8, "ePspPolynom", "PspPolynom", "", A);
    t.general(0x101E, E::Hex8, "ePspDecoderMask1", "PspDecoderMask1", "", A);
    t.general(0x101F, E::Hex8, "ePspDecoderMask2", "PspDecoderMask2", "", A);
    t.general(0x1020, E::Hex8, "eTuneMode", "RF mode", "", A);
    t.general(0x1021, E::Dec8, "eBatOff", "BatOff", "x 0.062 V", G);
    t.general(0x1022, E::Dec8, "eBatLow", "BatLow", "x 0.062 V", G);
    t.general(0x1023, E::Dec8, "eBatNorma", "BatNorma", "x 0.062 V", G);
    t.bits(
        FieldArea::General, 0x24, "RepCfg1", A,
        namedBoxes({"eEnable_Next_Retranslation", "eFix_Mode", "ePult_Mode", "eWiznet_Packed_Mode",
                    "eCom1_Packed_Mode", "eGsm_Packed_Mode", "eWiznet_Echo", "eCom1_Echo"}));
    t.general(0x1025, E::Dec8, "eNumberOfRadioTstMes", "Mes per test (RF)", "", G);
    t.onehot(FieldArea::General, 0x26, "eAltForWiznet", "Backup for I-Net", G, kDirections);
    t.onehot(FieldArea::General, 0x27, "eAltForCom1", "Backup for COM", G, kDirections);
    t.onehot(FieldArea::General, 0x28, "eAltForGsm", "Backup for GSM", G, kDirections);
    t.general(0x1029, E::Dec8, "eWiznetDelBlockSize", "WiznetDelBlockSize", "Strings", A);
    t.general(0x102A, E::Dec8, "eCom1DelBlockSize", "Com1DelBlockSize", "Strings", A);
    t.general(0x102B, E::Dec8, "eGsmDelBlockSize", "GsmDelBlockSize", "Strings", A);
    t.general(0x102C, E::Dec8, "eRadioDelBlockSize", "RadioDelBlockSize", "Strings", A);
    t.general(0x102D, E::Be16, "eRadioAltTime", "RadioAltTime", "sec", A);
    t.general(0x102F, E::Dec8, "eWiznetAckWaitTime", "WiznetAckWaitTime", "sec", A);
    t.general(0x1030, E::Dec8, "eWiznetAckAttempts", "WiznetAckAttempts", "", A);
    t.general(0x1031, E::Dec8, "eWiznetStatTime", "WiznetStatTime", "ms", A);
    t.general(0x1032, E::Be16, "eWiznetAltTime", "WiznetAltTime", "sec", A);
    t.general(0x1034, E::Dec8, "eCom1AckWaitTime", "Com1AckWaitTime", "sec", A);
    t.general(0x1035, E::Dec8, "eCom1AckAttempts", "Com1AckAttempts", "", A);
    t.general(0x1036, E::Dec8, "eCom1StatTime", "Com1StatTime", "ms", A);
    t.general(0x1037, E::Be16, "eCOM1_ALT_TIME", "COM1_ALT_TIME", "sec", A);
    t.general(0x1039, E::Dec8, "eGsmAckWaitTime", "GsmAckWaitTime", "sec", A);
    t.general(0x103A, E::Dec8, "eGsmAckAttempts", "GsmAckAttempts", "", A);
    t.general(0x103B, E::Dec8, "eGsmStatTime", "GsmStatTime", "ms", A);
    t.general(0x103C, E::Be16, "eGsmAltTime", "GsmAltTime", "sec", A);
    t.general(0x103E, E::Dec8, "eCheckSlotStatTime", "CheckSlotStatTime", "x25 ms", A);
    // "System ID" is typed with digits only but read as hexadecimal: typing 12 stores 0x12.
    FieldDef& firmId = t.general(0x103F, E::Hex8, "eFirmID", "System ID", "", G);
    firmId.filter = KeyFilter::Decimal;
}

void addNetworkBlock(TableBuilder& t) {
    using E = FieldEncoding;
    constexpr EditorPage W = EditorPage::Wiznet;
    t.bits(FieldArea::Network, 0x00, "Wiznet_Inserted", W, namedBoxes({"eWiznet_Inserted"}));
    // Three characters and no terminator of its own: eLocalIp's first byte ends it.
    t.network(0x1101, E::Chars, "eWiznetSWCombination", 3, 3).sharedNul = true;
    t.network(0x1104, E::Chars, "eLocalIp", 15, 15);
    t.network(0x1114, E::Chars, "eSubnetMask", 15, 15);
    t.network(0x1124, E::Chars, "eGateway", 15, 15);
    t.network(0x1134, E::Chars, "eLocalPort", 5, 5);
    t.onehot(FieldArea::Network, 0x3A, "eIpMethod", "IpMethod", W, {"Static", "DHCP"});
    t.onehot(FieldArea::Network, 0x3B, "eOperationMode", "OperationMode", W,
             {"TCP server", "TCP client", "UDP"});
    t.onehot(FieldArea::Network, 0x3C, "eTcpClientMethode", "TcpClientMethode", W,
             {"startup", "any character"});
    t.network(0x113D, E::Chars, "eSerialCfg", 4, 4);
    t.onehot(FieldArea::Network, 0x42, "eSerialCommandMethode", "SerialCommandMethode", W,
             {"Disable", "H/W trigger", "S/W trigger"});
    t.network(0x1143, E::Chars, "eSerialCommandModeChar", 6, 6);
    t.network(0x114A, E::Chars, "eServerIp", 15, 15);
    t.network(0x115A, E::Chars, "eServerPort", 5, 5);
    t.network(0x1160, E::Hex8, "eDelimiterChar", 5);
    t.network(0x1161, E::Dec8, "eDelimiterSize", 3);
    t.network(0x1162, E::Chars, "eDelimeterTime", 5, 5);
    t.network(0x1168, E::Chars, "eInactivityTimer", 5, 5);
    t.bits(FieldArea::Network, 0x6E, "DnsCfg", W, namedBoxes({"eDnsCfg"}));
    t.network(0x116F, E::Chars, "eDnsServerIp", 15, 15);
    t.network(0x117F, E::Chars, "eDomainName", 32, 32);
}

void addSlotRecord(TableBuilder& t) {
    using E = FieldEncoding;
    FieldDef& type = t.slot(0, E::SlotType, "eType", "Slot RX type", "", 0);
    type.choices = {"FFSK", "FM", "LARS", "IP"};
    t.slot(1, E::Dec8, "eDigOfActiveSeg", "Used seg. num.", "", 3);
    for (int i = 1; i <= 16; ++i) {
        const auto offset = static_cast<std::uint16_t>(2 + 4 * (i - 1));
        t.slot(offset, E::Be16, numbered("eSegment", i, "L"), numbered("Segment", i), "L", 4);
        t.slot(offset + 2, E::Be16, numbered("eSegment", i, "H"), numbered("Segment", i), "H", 4);
    }
    t.slot(66, E::Dec8, "eDigOfActiveBlack", "Used black num.", "", 3);
    for (int i = 1; i <= 16; ++i) {
        const auto offset = static_cast<std::uint16_t>(67 + 4 * (i - 1));
        t.slot(offset, E::Be16, numbered("eBlackList", i, "L"), numbered("BlackList", i), "L", 4);
        t.slot(offset + 2, E::Be16, numbered("eBlackList", i, "H"), numbered("BlackList", i), "H",
               4);
    }
    t.slot(131, E::Hex8, "eScramblerMask", "Tx Scr. mask (RF)", "", 2);
}

std::vector<FieldDef> buildTable() {
    std::vector<FieldDef> table;
    TableBuilder builder(table);
    addGeneralBlock(builder);
    addNetworkBlock(builder);
    addSlotRecord(builder);
    return table;
}

// Bytes a conversion touches: Chars stores always clear n + 1 bytes, even with sharedNul.
std::size_t touchedWidth(const FieldDef& field) {
    if (field.encoding == FieldEncoding::Chars) return static_cast<std::size_t>(field.chars) + 1;
    return static_cast<std::size_t>(fieldWidth(field));
}

void requireFits(const FieldDef& field, std::size_t areaSize) {
    if (field.offset + touchedWidth(field) > areaSize) {
        throw std::out_of_range("field " + field.name + " lies outside its area");
    }
}

std::uint8_t low8(std::int64_t v) { return static_cast<std::uint8_t>(v & 0xFF); }

}  // namespace

const std::vector<FieldDef>& fieldTable() {
    static const std::vector<FieldDef> table = buildTable();
    return table;
}

const FieldDef* findField(std::string_view name) {
    if (name.empty()) return nullptr;
    for (const FieldDef& f : fieldTable()) {
        if (f.name == name) return &f;
    }
    return nullptr;
}

int fieldWidth(const FieldDef& field) {
    switch (field.encoding) {
        case FieldEncoding::Be16:
            return 2;
        case FieldEncoding::Chars:
            return field.chars + (field.sharedNul ? 0 : 1);
        default:
            return 1;
    }
}

bool keyAccepted(KeyFilter filter, char c) {
    if (filter == KeyFilter::None || c == '\b' || (c >= '0' && c <= '9')) return true;
    return filter == KeyFilter::Hexadecimal && ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'));
}

std::string fieldToText(const FieldDef& field, std::span<const std::uint8_t> area) {
    requireFits(field, area.size());
    const std::uint8_t* p = area.data() + field.offset;
    switch (field.encoding) {
        case FieldEncoding::Dec8:
            return std::to_string(p[0]);
        case FieldEncoding::Hex8: {
            char text[3];
            std::snprintf(text, sizeof text, "%2.2X", p[0]);
            return text;
        }
        case FieldEncoding::Be16:
            return std::to_string((p[0] << 8) | p[1]);
        case FieldEncoding::Chars: {
            std::string text;
            for (int i = 0; i < field.chars && p[i] != 0; ++i) text += static_cast<char>(p[i]);
            return text;
        }
        default:
            return {};
    }
}

void textToField(const FieldDef& field, std::string_view text, std::span<std::uint8_t> area) {
    requireFits(field, area.size());
    std::uint8_t* p = area.data() + field.offset;
    switch (field.encoding) {
        case FieldEncoding::Dec8:
            p[0] = low8(textToNumber(text));
            break;
        case FieldEncoding::Hex8:
            p[0] = low8(textToNumber("$" + std::string(text)));
            break;
        case FieldEncoding::Be16: {
            const std::int64_t v = textToNumber(text);
            p[0] = low8(v >> 8);
            p[1] = low8(v);
            break;
        }
        case FieldEncoding::Chars: {
            std::fill(p, p + field.chars + 1, std::uint8_t{0});
            const std::size_t n = std::min(text.size(), static_cast<std::size_t>(field.chars));
            for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(text[i]);
            break;
        }
        default:
            break;
    }
}

int fieldToSelection(const FieldDef& field, std::span<const std::uint8_t> area) {
    requireFits(field, area.size());
    const std::uint8_t v = area[field.offset];
    int position = 0;
    if (field.encoding == FieldEncoding::SlotType) {
        if (v > 4) return -1;
        position = v == 0 ? 0 : v - 1;
    } else if (field.encoding == FieldEncoding::OneHot) {
        // The highest of bits 3..0 decides; bits 4-7 are ignored.
        for (int bit = 3; bit >= 0; --bit) {
            if (v & (1 << bit)) {
                position = bit + 1;
                break;
            }
        }
    } else {
        return -1;
    }
    return position < static_cast<int>(field.choices.size()) ? position : -1;
}

void selectionToField(const FieldDef& field, int position, std::span<std::uint8_t> area) {
    requireFits(field, area.size());
    if (position < 0 || position >= static_cast<int>(field.choices.size())) position = -1;
    std::uint8_t v = 0;
    if (field.encoding == FieldEncoding::SlotType) {
        v = static_cast<std::uint8_t>(position + 1);
    } else if (field.encoding == FieldEncoding::OneHot) {
        v = position <= 0 ? 0 : static_cast<std::uint8_t>(1u << (position - 1));
    } else {
        return;
    }
    area[field.offset] = v;
}

bool fieldBit(const FieldDef& field, const CheckBoxDef& box, std::span<const std::uint8_t> area) {
    requireFits(field, area.size());
    return (area[field.offset] >> box.bit) & 1;
}

void checksToField(const FieldDef& field, const std::vector<bool>& ticked,
                   std::span<std::uint8_t> area) {
    requireFits(field, area.size());
    std::uint8_t v = 0;
    for (std::size_t i = 0; i < field.checks.size() && i < ticked.size(); ++i) {
        if (ticked[i]) v |= static_cast<std::uint8_t>(1u << field.checks[i].bit);
    }
    area[field.offset] = v;
}

}  // namespace kormlink
