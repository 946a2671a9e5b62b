#include "solvers/cppad_error_log.hpp"

#include <string>

#include <spdlog/spdlog.h>

namespace meshvolt {

namespace {

std::string text_or_empty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

void log_cppad_error(bool known, int line, const char* file, const char* exp, const char* msg) {
    std::string text = known ? "Error from a known source:\n" : "Error from unknown source\n";
    const std::string message = text_or_empty(msg);
    if (!message.empty()) text += message + "\n";
    text += "Error detected by false result for\n";
    text += "    " + text_or_empty(exp) + "\n";
    text += "at line " + std::to_string(line) + " in the file \n";
    text += "    " + text_or_empty(file) + "\n";
    spdlog::error("{}", text);
}

}  // namespace meshvolt
