#include "logging_config.hpp"

#include <memory>
#include <stdexcept>
#include <utility>

#include <spdlog/pattern_formatter.h>
#include <spdlog/spdlog.h>

namespace meshvolt::ohmweave {

namespace {

PyObject* cy_set_logging_config(const Call& call) {
    set_logging_config(call.args.utf8(0));
    Py_RETURN_NONE;
}

}  // namespace

void set_logging_config(const std::string& severity) {
    // The registry hands every logger its own copy, and each logger one to each of its sinks.
    spdlog::set_formatter(std::make_unique<spdlog::pattern_formatter>(
        "%x %X %l %v", spdlog::pattern_time_type::local, "\n"));
    static const std::pair<const char*, spdlog::level::level_enum> levels[] = {
        {"trace", spdlog::level::trace}, {"debug", spdlog::level::debug},
        {"info", spdlog::level::info},   {"warning", spdlog::level::warn},
        {"error", spdlog::level::err},   {"critical", spdlog::level::critical},
        {"off", spdlog::level::off},
    };
    for (const auto& [name, level] : levels) {
        if (severity == name) {
            spdlog::set_level(level);
            return;
        }
    }
    throw std::runtime_error("Unknown severity string " + severity + ".");
}

const MethodSpec set_logging_config_function("cy_set_logging_config",
                                             {param::exact_str("severity")}, cy_set_logging_config);

}  // namespace meshvolt::ohmweave
