// The module function cy_set_logging_config(severity): the line pattern of every logger, then the
// level below which records are dropped.
#pragma once

#include <string>

#include "function_object.hpp"

namespace meshvolt::ohmweave {

extern const MethodSpec set_logging_config_function;

// Installs the pattern "%x %X %l %v" on every logger of the registry, then the level named by
// `severity` ("trace", "debug", "info", "warning", "error", "critical", "off"); another name throws
// std::runtime_error after the pattern is installed, with the levels unchanged.
void set_logging_config(const std::string& severity);

}  // namespace meshvolt::ohmweave
