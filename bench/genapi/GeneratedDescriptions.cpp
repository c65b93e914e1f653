#include "GeneratedDescriptions.h"

#include <algorithm>
#include <cstdio>

namespace qx::bench {

namespace {

std::string hex(long v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%lX", v);
    return buf;
}

std::string text(const std::string& subject, int words) {
    static const char* const kWords[] = {"controls", "the", "sensor",   "value",    "of",      "camera", "when",
                                         "enabled",  "and", "selected", "register", "applies", "to",     "next",
                                         "frame",    "in",  "units",    "given",    "by",      "device"};
    std::string out = subject;
    for (int i = 0; i < words; ++i) {
        out += ' ';
        out += kWords[(i * 7 + static_cast<int>(subject.size())) % 20];
    }
    return out + '.';
}

std::string head(const char* model) {
    return std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<RegisterDescription ModelName=\"") + model +
           "\" VendorName=\"Qx\" ToolTip=\"generated\" StandardNameSpace=\"None\" SchemaMajorVersion=\"1\" "
           "SchemaMinorVersion=\"1\" SchemaSubMinorVersion=\"0\" MajorVersion=\"1\" MinorVersion=\"0\" "
           "SubMinorVersion=\"0\" ProductGuid=\"0\" VersionGuid=\"0\" "
           "xmlns=\"http://www.genicam.org/GenApi/Version_1_1\">\n";
}

std::string tail() {
    return "<Port Name=\"Device\" NameSpace=\"Standard\"/>\n"
           "<Integer Name=\"TLParamsLocked\"><Visibility>Invisible</Visibility><Value>0</Value><Min>0</Min>"
           "<Max>1</Max></Integer>\n</RegisterDescription>\n";
}

// "Root" over groups of `perCategory` items, each listing feature(i) of its items.
std::string categories(const std::string& prefix, int count, int perCategory, std::string (*feature)(int)) {
    std::string out = "<Category Name=\"Root\" NameSpace=\"Standard\">";
    const int groups = (count + perCategory - 1) / perCategory;
    for (int g = 0; g < groups; ++g) out += "<pFeature>" + prefix + std::to_string(g) + "</pFeature>";
    out += "</Category>\n";
    for (int g = 0; g < groups; ++g) {
        out += "<Category Name=\"" + prefix + std::to_string(g) + "\"><DisplayName>Group " + std::to_string(g) +
               "</DisplayName><ToolTip>" + text("Features of group", 6) + "</ToolTip>";
        for (int i = g * perCategory; i < std::min(count, (g + 1) * perCategory); ++i) out += feature(i);
        out += "</Category>\n";
    }
    return out;
}

std::string structFeatures(int i) {
    const std::string n = std::to_string(i);
    return "<pFeature>Feature" + n + "</pFeature><pFeature>Feature" + n + "Mode</pFeature><pFeature>Feature" + n +
           "Enable</pFeature><pFeature>Feature" + n + "Abs</pFeature>";
}

} // namespace

std::string StructRegHeavyXml(int structRegs) {
    std::string x = head("StructRegHeavy");
    x.reserve(static_cast<size_t>(structRegs) * 4000);
    x += categories("StructGroup", structRegs, 10, structFeatures);
    x += "<Enumeration Name=\"AcquisitionMode\" NameSpace=\"Standard\"><EnumEntry Name=\"Continuous\"><Value>0</Value>"
         "</EnumEntry><EnumEntry Name=\"SingleFrame\"><Value>1</Value></EnumEntry><EnumEntry Name=\"MultiFrame\">"
         "<Value>2</Value></EnumEntry><pValue>AcquisitionModeReg</pValue></Enumeration>\n"
         "<IntReg Name=\"AcquisitionModeReg\"><Address>0x8000</Address><Length>4</Length><AccessMode>RW</AccessMode>"
         "<pPort>Device</pPort><Cachable>WriteThrough</Cachable><Endianess>BigEndian</Endianess></IntReg>\n"
         "<Integer Name=\"ChannelSelector\"><Value>0</Value><Min>0</Min><Max>3</Max></Integer>\n";
    static const char* const kModes[] = {"Off", "Once", "Continuous", "Manual", "Triggered"};
    for (int i = 0; i < structRegs; ++i) {
        const std::string n = std::to_string(i);
        const std::string r = "R" + n + "_";
        x += "<StructReg Comment=\"" + text("Inquiry and control of feature " + n, 4) + "\">\n  <Address>" +
             hex(0x10000 + 0x10 * i) +
             "</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>"
             "<Cachable>WriteThrough</Cachable><Endianess>BigEndian</Endianess>";
        if (i % 4 == 0) x += "<pIndex Offset=\"0x4\">ChannelSelector</pIndex>";
        x += "\n";
        const struct {
            const char* name;
            int lsb, msb;
        } entries[] = {{"Inq", 31, 31},  {"Enable", 25, 25}, {"Auto", 24, 24}, {"Mode", 16, 19},
                       {"Value", 0, 11}, {"Min", 12, 13},    {"Busy", 30, 30}, {"Error", 29, 29}};
        for (const auto& e : entries) {
            x += "  <StructEntry Name=\"" + r + e.name + "\"><ToolTip>" + text(std::string(e.name) + " field", 5) +
                 "</ToolTip>";
            if (e.lsb == e.msb) x += "<Bit>" + std::to_string(e.lsb) + "</Bit>";
            else x += "<LSB>" + std::to_string(e.lsb) + "</LSB><MSB>" + std::to_string(e.msb) + "</MSB>";
            x += "</StructEntry>\n";
        }
        x += "</StructReg>\n";
        x += "<Integer Name=\"Feature" + n + "\"><ToolTip>" + text("Feature " + n, 8) + "</ToolTip><Description>" +
             text("Feature " + n + " in detail", 12) + "</Description><DisplayName>Feature " + n +
             "</DisplayName><Visibility>Expert</Visibility><pIsImplemented>" + r +
             "Inq</pIsImplemented>"
             "<pIsAvailable>Feature" +
             n + "_Avail</pIsAvailable><pIsLocked>TLParamsLocked</pIsLocked><pValue>" + r +
             "Value</pValue><Min>0</Min><Max>4095</Max><Inc>1</Inc><Representation>Linear</Representation></Integer>\n";
        x += "<IntSwissKnife Name=\"Feature" + n + "_Avail\"><pVariable Name=\"EN\">" + r +
             "Enable</pVariable><pVariable Name=\"AU\">" + r +
             "Auto</pVariable><pVariable Name=\"AM\">"
             "AcquisitionMode</pVariable><Formula>(EN = 1) &amp;&amp; (AU = 0) &amp;&amp; (AM &lt;&gt; 2)</Formula>"
             "</IntSwissKnife>\n";
        x += "<Enumeration Name=\"Feature" + n + "Mode\"><ToolTip>" + text("Mode of feature " + n, 6) +
             "</ToolTip><Visibility>Beginner</Visibility><pIsImplemented>" + r + "Inq</pIsImplemented>";
        for (int m = 0; m < 5; ++m) {
            x += "<EnumEntry Name=\"" + std::string(kModes[m]) + "\"><DisplayName>" + kModes[m] +
                 "</DisplayName><ToolTip>" + text(std::string(kModes[m]) + " mode", 3) + "</ToolTip><Value>" +
                 std::to_string(m) + "</Value></EnumEntry>";
        }
        x += "<pValue>" + r + "Mode</pValue></Enumeration>\n";
        x += "<Boolean Name=\"Feature" + n + "Enable\"><ToolTip>" + text("Enables feature " + n, 6) +
             "</ToolTip><pIsImplemented>" + r + "Inq</pIsImplemented><pValue>" + r +
             "Enable</pValue><OnValue>1</OnValue><OffValue>0</OffValue></Boolean>\n";
        x += "<Float Name=\"Feature" + n + "Abs\"><ToolTip>" + text("Feature " + n + " in physical units", 4) +
             "</ToolTip><pIsAvailable>Feature" + n + "_Avail</pIsAvailable><pValue>Feature" + n +
             "Conv</pValue><Unit>us</Unit><Representation>Linear</Representation></Float>\n";
        x += "<Converter Name=\"Feature" + n + "Conv\"><pVariable Name=\"MIN\">" + r +
             "Min</pVariable><FormulaTo>(FROM - MIN) / 2.5</FormulaTo><FormulaFrom>TO * 2.5 + MIN</FormulaFrom>"
             "<pValue>" +
             r + "Value</pValue><Slope>Increasing</Slope></Converter>\n";
    }
    return x + tail();
}

namespace {

std::string thermalFeatures(int i) {
    const std::string n = std::to_string(i);
    return "<pFeature>RoiTemp" + n + "</pFeature><pFeature>RoiEmissivity" + n + "</pFeature><pFeature>RoiPalette" + n +
           "</pFeature><pFeature>RoiAlarm" + n + "</pFeature>";
}

} // namespace

std::string ThermalLikeXml() {
    const int regions = 117;
    std::string x = head("ThermalLike");
    x.reserve(640000);
    x += categories("Measurement", regions, 8, thermalFeatures);
    x += "<Integer Name=\"RoiSelector\"><Value>0</Value><Min>0</Min><Max>7</Max></Integer>\n"
         "<FloatReg Name=\"AmbientTempReg\"><Address>0x9000</Address><Length>4</Length><AccessMode>RO</AccessMode>"
         "<pPort>Device</pPort><Endianess>BigEndian</Endianess></FloatReg>\n"
         "<IntReg Name=\"GlobalOffsetReg\"><Address>0x9004</Address><Length>4</Length><AccessMode>RW</AccessMode>"
         "<pPort>Device</pPort><Sign>Signed</Sign><Endianess>BigEndian</Endianess></IntReg>\n";
    static const char* const kPalettes[] = {
        "Iron",   "Rainbow",  "WhiteHot", "BlackHot",     "Arctic", "Lava",  "Medical", "Glowbow", "Amber",  "Sepia",
        "Fusion", "Contrast", "Grey",     "HighContrast", "Sunset", "Ocean", "Forest",  "Thermal", "Plasma", "Magma"};
    for (int i = 0; i < regions; ++i) {
        const std::string n = std::to_string(i);
        const long base = 0x20000 + 0x40 * i;
        x += "<IntReg Name=\"RoiRaw" + n + "\"><Address>" + hex(base) +
             "</Address><pIndex Offset=\"0x1000\">"
             "RoiSelector</pIndex><Length>4</Length><AccessMode>RO</AccessMode><pPort>Device</pPort>"
             "<Cachable>NoCache</Cachable><PollingTime>1000</PollingTime><Sign>Unsigned</Sign>"
             "<Endianess>BigEndian</Endianess></IntReg>\n";
        x += "<FloatReg Name=\"RoiEmissivityReg" + n + "\"><Address>" + hex(base + 4) +
             "</Address><Length>4</Length>"
             "<AccessMode>RW</AccessMode><pPort>Device</pPort><Endianess>BigEndian</Endianess></FloatReg>\n";
        x += "<Converter Name=\"RoiTempConv" + n +
             "\"><pVariable Name=\"AMB\">AmbientTempReg</pVariable>"
             "<pVariable Name=\"EPS\">RoiEmissivity" +
             n +
             "</pVariable><pVariable Name=\"OFF\">GlobalOffsetReg"
             "</pVariable><FormulaTo>((FROM + 273.15) * 100 - OFF) * EPS + (1 - EPS) * AMB</FormulaTo>"
             "<FormulaFrom>((TO - (1 - EPS) * AMB) / EPS + OFF) / 100 - 273.15</FormulaFrom><pValue>RoiRaw" +
             n + "</pValue><Slope>Increasing</Slope></Converter>\n";
        x += "<Float Name=\"RoiTemp" + n + "\"><ToolTip>" + text("Mean temperature of region " + n, 12) +
             "</ToolTip><Description>" + text("Temperature of measurement region " + n + " in degrees", 36) +
             "</Description><DisplayName>Region " + n + " temperature</DisplayName><pValue>RoiTempConv" + n +
             "</pValue><Min>-40</Min><Max>2000</Max><Unit>C</Unit><Representation>PureNumber</Representation>"
             "<DisplayNotation>Fixed</DisplayNotation><DisplayPrecision>2</DisplayPrecision></Float>\n";
        x += "<Float Name=\"RoiEmissivity" + n + "\"><ToolTip>" + text("Emissivity of region " + n, 10) +
             "</ToolTip><pValue>RoiEmissivityReg" + n +
             "</pValue><Min>0.01</Min><Max>1.0</Max><Inc>0.01</Inc>"
             "</Float>\n";
        x += "<Enumeration Name=\"RoiPalette" + n + "\"><ToolTip>" + text("Palette of region " + n, 8) +
             "</ToolTip><pIsAvailable>RoiActive" + n + "</pIsAvailable>";
        for (int p = 0; p < 20; ++p) {
            x += "<EnumEntry Name=\"" + std::string(kPalettes[p]) + "\"><DisplayName>" + kPalettes[p] +
                 "</DisplayName><Value>" + std::to_string(p) + "</Value><NumericValue>" + std::to_string(p) +
                 "</NumericValue></EnumEntry>";
        }
        x += "<pValue>RoiPaletteReg" + n +
             "</pValue></Enumeration>\n"
             "<IntReg Name=\"RoiPaletteReg" +
             n + "\"><Address>" + hex(base + 8) +
             "</Address><Length>4</Length>"
             "<AccessMode>RW</AccessMode><pPort>Device</pPort><Endianess>BigEndian</Endianess></IntReg>\n";
        x += "<IntSwissKnife Name=\"RoiActive" + n + "\"><pVariable Name=\"P\">RoiPaletteReg" + n +
             "</pVariable><pVariable Name=\"E\">RoiEmissivityReg" + n +
             "</pVariable><Formula>(P &lt; 20) &amp;&amp; "
             "(E &gt; 0)</Formula></IntSwissKnife>\n";
        x += "<SwissKnife Name=\"RoiAlarm" + n + "\"><ToolTip>" + text("Alarm level of region " + n, 8) +
             "</ToolTip><pVariable Name=\"T\">RoiTemp" + n +
             "</pVariable><pVariable Name=\"A\">AmbientTempReg"
             "</pVariable><Formula>(T &gt; A + 50) ? 2 : ((T &gt; A + 20) ? 1 : 0)</Formula></SwissKnife>\n";
    }
    return x + tail();
}

} // namespace qx::bench
