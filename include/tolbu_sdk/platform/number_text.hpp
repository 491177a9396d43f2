#pragma once
// Number texts shared by URLs, request bodies, log lines and JSON answers.

#include <string>

namespace tolbu_sdk::platform {

// The shortest decimal that reads back as the same double, with ".0" for whole numbers,
// exponent form below 1e-4 and from 1e16 ("1e-05", "1.5e+16"), and "nan", "inf", "-inf".
std::string number_text(double value);

// Appends number_text(value) to out without a temporary string.
void append_number_text(std::string& out, double value);

}  // namespace tolbu_sdk::platform
