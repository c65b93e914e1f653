// Logging of the feature-access files that are compiled into both deliverables (the node
// tree, the node events). Inside the SDK the lines go through the core's QX_LOG_* macros;
// the viewer compiles the same files with QX_FEATURE_NO_LOG defined and writes no log.
// Texts stay literal at the call site, so a grep for a line finds its code.
#pragma once

#if defined(QX_FEATURE_NO_LOG)
#define QX_FEATURE_LOG_WARN(...) ((void)0)
#define QX_FEATURE_LOG_DEBUG(...) ((void)0)
#else
#include "Log.h"
#define QX_FEATURE_LOG_WARN(...) QX_LOG_WARN(__VA_ARGS__)
#define QX_FEATURE_LOG_DEBUG(...) QX_LOG_DEBUG(__VA_ARGS__)
#endif
