// Small helpers the three parts of the property tree share (PropertyTreeViewerEx.cpp: the
// tree, its filter and favourites; PropertyTreeEditors.cpp: the value editors and writes;
// PropertyTreeRefresh.cpp: the refresh worker).
#pragma once
#include <QString>

namespace viewer::tree {

// Access modes of a node record.
constexpr int kAccessNI = 0, kAccessNA = 1, kAccessWO = 2, kAccessRO = 3, kAccessRW = 4;
constexpr int kAccessUndefined = 5, kAccessCycle = 6;

inline QString number6(double x) { return QString::number(x, 'g', 6); }

} // namespace viewer::tree
