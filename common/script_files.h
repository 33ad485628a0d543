// The files of a script. For a script argument S they are S.pure (the
// puretext), S.info (the information file) and S.dte (the text after pair
// substitution). The extension is appended to the argument exactly as given:
// a directory part stays, and an argument that already has an extension gets
// a second one.
#pragma once

#include <string>

namespace common {

std::string PuretextName(const std::string& script);
std::string InformationName(const std::string& script);
std::string DteName(const std::string& script);

}  // namespace common
