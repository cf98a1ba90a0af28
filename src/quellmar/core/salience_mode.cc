#include "quellmar/core/salience_mode.h"

namespace quellmar {

std::variant<SalienceMode, std::string> parse_salience_mode(std::string_view word) {
  switch (word.size()) {
    case 2:
      if (word == "l2") return SalienceMode::L2;
      break;
    case 3:
      if (word == "max") return SalienceMode::Max;
      break;
    case 4:
      if (word == "none") return SalienceMode::Explicit;
      break;
    case 8:
      if (word == "explicit") return SalienceMode::Explicit;
      break;
    default:
      break;
  }
  return std::string(word);
}

}  // namespace quellmar
