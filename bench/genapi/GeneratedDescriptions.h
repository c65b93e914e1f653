// Camera description files generated for the load benchmarks, shaped like the large files real
// cameras ship: many StructRegs whose bit fields back the features, availability formulas over
// inquiry bits, enumerations with described entries, float features behind converters, and the
// texts (tool tips, descriptions) that make up much of a real file's size.
#pragma once
#include <string>

namespace qx::bench {

// About 735 KB with `structRegs` StructRegs of eight entries each (194 gives the size of a
// machine-vision camera's file of that many).
std::string StructRegHeavyXml(int structRegs = 194);
// About 600 KB shaped like a thermal camera's file: temperatures behind float registers and
// converters, measurement regions selected by an index, palettes with many entries, formulas.
std::string ThermalLikeXml();

} // namespace qx::bench
