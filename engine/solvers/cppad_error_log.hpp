// The handler that takes the place of the automatic-differentiation library's own error handler
// while tape work runs: it logs the report as one error-level record on the default logger and
// returns, so the library goes on with the operation that reported it.
#pragma once

namespace meshvolt {

// Signature of CppAD::ErrorHandler::Handler. The record's lines, each ended by a line feed:
//     "Error from a known source:" or "Error from unknown source"
//     msg                                    (left out when msg is empty)
//     "Error detected by false result for"
//     "    " exp
//     "at line " line " in the file "
//     "    " file
void log_cppad_error(bool known, int line, const char* file, const char* exp, const char* msg);

}  // namespace meshvolt
