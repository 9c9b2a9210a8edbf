#include "platform/foundation/Description.h"

#include <cstdio>

namespace zeb {
namespace {

bool needsQuotes(const std::string& s) {
  if (s.empty()) return true;
  for (unsigned char c : s) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                       c == '.' || c == '$';
    if (!plain) return true;
  }
  return false;
}

std::string quoted(const std::string& s) {
  if (!needsQuotes(s)) return s;
  std::string out = "\"";
  for (char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default: out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}

void describeInto(const Value& value, int indent, std::string& out);

std::string pad(int indent) { return std::string(static_cast<std::size_t>(indent) * 4, ' '); }

void describeDictionary(const Dictionary& dict, int indent, std::string& out) {
  out += "{\n";
  for (const auto& [key, v] : dict) {
    out += pad(indent + 1) + quoted(key) + " = ";
    describeInto(v, indent + 1, out);
    out += ";\n";
  }
  out += pad(indent) + "}";
}

void describeInto(const Value& value, int indent, std::string& out) {
  switch (value.kind()) {
    case Value::Kind::kNil: out += "(null)"; break;
    case Value::Kind::kBool: out += *value.asBool() ? "1" : "0"; break;
    case Value::Kind::kInt: out += std::to_string(*value.asInt()); break;
    case Value::Kind::kUInt: out += std::to_string(*value.asUInt()); break;
    case Value::Kind::kDouble: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.17g", *value.asDouble());
      out += buf;
      break;
    }
    case Value::Kind::kString:
      // Top-level strings print bare; nested ones as property-list text.
      out += indent == 0 && out.empty() ? *value.asString() : quoted(*value.asString());
      break;
    case Value::Kind::kData: {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "<";
      const Data& d = *value.asData();
      for (std::size_t i = 0; i < d.size(); ++i) {
        if (i && i % 4 == 0) out += " ";
        out.push_back(kHex[d[i] >> 4]);
        out.push_back(kHex[d[i] & 15]);
      }
      out += ">";
      break;
    }
    case Value::Kind::kURL: out += value.asURL()->absoluteString(); break;
    case Value::Kind::kArray: {
      const Array& a = *value.asArray();
      out += "(\n";
      for (std::size_t i = 0; i < a.size(); ++i) {
        out += pad(indent + 1);
        describeInto(a[i], indent + 1, out);
        out += i + 1 < a.size() ? ",\n" : "\n";
      }
      out += pad(indent) + ")";
      break;
    }
    case Value::Kind::kDictionary: describeDictionary(*value.asDictionary(), indent, out); break;
    case Value::Kind::kError: out += describe(*value.asError()); break;
  }
}

}  // namespace

std::string describe(const Value& value) {
  std::string out;
  describeInto(value, 0, out);
  return out;
}

std::string describe(const Error& error) {
  std::string out = "Error Domain=" + error.domain() + " Code=" + std::to_string(error.code()) + " \"" +
                    error.localizedDescription() + "\" UserInfo={";
  bool first = true;
  for (const auto& [key, v] : error.userInfo()) {
    if (!first) out += ", ";
    first = false;
    out += key + "=";
    out += v.asString() ? *v.asString() : describe(v);
  }
  out += "}";
  return out;
}

}  // namespace zeb
