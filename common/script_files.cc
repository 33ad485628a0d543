#include "common/script_files.h"

namespace common {

std::string PuretextName(const std::string& script) { return script + ".pure"; }
std::string InformationName(const std::string& script) {
  return script + ".info";
}
std::string DteName(const std::string& script) { return script + ".dte"; }

}  // namespace common
