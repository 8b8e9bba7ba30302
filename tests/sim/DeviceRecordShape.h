#pragma once

#include <map>
#include <string>
#include <vector>

#include "telvosdk/QKDevice.h"

namespace telvo::test {

// What a flow's device record holds, field by field, as the README's table of device records
// states it. A shape names what a field must hold:
//   "-"        empty: "", false, 0, an empty list or dictionary, a null referenceRSSI
//   "any"      not checked (a flag or list the appliance decides)
//   "filled"   not empty (a flag: set)
//   "digits"   decimal digits; "0/1" one of them
//   "serialN"  N characters of letters and digits
//   "hex", "HEX", "hexN"   lower-case, upper-case, or N lower-case hex digits
//   "0xac", "0xAC"         "0x" and two hex digits in that case
//   "aa:bb:cc:dd:ee:ff", "aabbccddeeff", "AABBCCDDEEFF"   a MAC in that form
//   "a.b.c.d"  an IPv4 address
//   "=TEXT"    exactly TEXT
// Fields not named must be empty.
using RecordShape = std::map<std::string, std::string>;

// Every field of the record that the README's table names, as text: flags "1" or "", lists and
// dictionaries their size ("" when empty), referenceRSSI "" when null.
std::map<std::string, std::string> recordFields(const QKDevice& device);

// One line for each field whose value does not have its shape.
std::vector<std::string> recordMismatches(const QKDevice& device, const RecordShape& shape);

}  // namespace telvo::test
