// The five levels of the level methods, DEBUG to CRITICAL: one table of what each is called and shown as.
#pragma once

#include "capi/names.hpp"

namespace lm {

// One level: the name of its method on _LogBase, logging's constant of it
// (the interned name, read as N.*constant) and the colour its records have
// on the console.
struct LevelFacts {
  const char* method;
  PyObject* Names::*constant;
  const char* colour;
};

inline constexpr int kLevelCount = 5;

// Indexed by level index, 0 (DEBUG) to 4 (CRITICAL).
inline constexpr LevelFacts kLevels[kLevelCount] = {
    {"debug", &Names::DEBUG, "blue"},
    {"info", &Names::INFO, "green"},
    {"warning", &Names::WARNING, "yellow"},
    {"error", &Names::ERROR, "red"},
    {"critical", &Names::CRITICAL, "bold_red,bg_white"},
};

// The interned name of logging's constant of level `index` ("DEBUG", ...).
inline PyObject* level_constant_name(int index) noexcept { return N.*kLevels[index].constant; }

}  // namespace lm
