// The JSON report's serializer. nlohmann's own dump insists on UTF-8 and throws on the
// ANSI bytes the records hold, so the report is written here, in the form the web service
// reads: ", " and ": " separators, keys in sorted order, only the escapes below.
#include "diagnostics/error.h"

#include <cmath>
#include <cstdio>

namespace {

void AppendEscaped(std::string& out, const std::string& value) {
  out += '"';
  const size_t n = value.size();
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", c);
          out += escape;
        } else if (c == 0xE2 && i + 2 < n && static_cast<unsigned char>(value[i + 1]) == 0x80 &&
                   (static_cast<unsigned char>(value[i + 2]) == 0xA8 ||
                    static_cast<unsigned char>(value[i + 2]) == 0xA9)) {
          // U+2028 and U+2029 end lines in JavaScript; escaped so the report is safe there.
          out += static_cast<unsigned char>(value[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
          i += 2;
        } else {
          // Everything else, ANSI bytes >= 0x80 included, passes through unchanged.
          out += value[i];
        }
    }
  }
  out += '"';
}

void AppendValue(std::string& out, const nlohmann::json& value) {
  using Type = nlohmann::json::value_t;
  char number[64];
  switch (value.type()) {
    case Type::null:
      out += "null";
      break;
    case Type::boolean:
      out += value.get<bool>() ? "true" : "false";
      break;
    case Type::number_integer:
      std::snprintf(number, sizeof number, "%lld", static_cast<long long>(value.get<int64_t>()));
      out += number;
      break;
    case Type::number_unsigned:
      std::snprintf(number, sizeof number, "%llu",
                    static_cast<unsigned long long>(value.get<uint64_t>()));
      out += number;
      break;
    case Type::number_float: {
      const double d = value.get<double>();
      if (std::isfinite(d)) {
        std::snprintf(number, sizeof number, "%.17g", d);
        out += number;
      } else {
        out += "null";
      }
      break;
    }
    case Type::string:
      AppendEscaped(out, value.get_ref<const std::string&>());
      break;
    case Type::array: {
      out += '[';
      bool first = true;
      for (const auto& element : value) {
        if (!first) out += ", ";
        first = false;
        AppendValue(out, element);
      }
      out += ']';
      break;
    }
    case Type::object: {
      // nlohmann's default object is a std::map: iteration is already in key order.
      out += '{';
      bool first = true;
      for (auto it = value.begin(); it != value.end(); ++it) {
        if (!first) out += ", ";
        first = false;
        AppendEscaped(out, it.key());
        out += ": ";
        AppendValue(out, it.value());
      }
      out += '}';
      break;
    }
    default:  // binary and discarded values have no JSON text
      out += "null";
      break;
  }
}

}  // namespace

std::string Error::DumpJson(const nlohmann::json& value) {
  std::string out;
  AppendValue(out, value);
  return out;
}
