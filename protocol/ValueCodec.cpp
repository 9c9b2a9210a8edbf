#include "protocol/ValueCodec.h"

#include <cbor.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/xpc/XpcErrors.h"

namespace zeb::xpc {
namespace {

// ---- Encoding -------------------------------------------------------------------------------

class Encoder {
 public:
  void value(const Value& v) {
    switch (v.kind()) {
      case Value::Kind::kNil: put(cbor_encode_null); break;
      case Value::Kind::kBool: put([&](unsigned char* b, size_t n) { return cbor_encode_bool(*v.asBool(), b, n); }); break;
      case Value::Kind::kInt: integer(*v.asInt()); break;
      case Value::Kind::kUInt: put([&](unsigned char* b, size_t n) { return cbor_encode_uint(*v.asUInt(), b, n); }); break;
      case Value::Kind::kDouble:
        put([&](unsigned char* b, size_t n) { return cbor_encode_double(*v.asDouble(), b, n); });
        break;
      case Value::Kind::kString: text(*v.asString()); break;
      case Value::Kind::kData: {
        const Data& d = *v.asData();
        put([&](unsigned char* b, size_t n) { return cbor_encode_bytestring_start(d.size(), b, n); });
        out_.append(reinterpret_cast<const char*>(d.data()), d.size());
        break;
      }
      case Value::Kind::kURL:
        put([&](unsigned char* b, size_t n) { return cbor_encode_tag(kTagURL, b, n); });
        text(v.asURL()->absoluteString());
        break;
      case Value::Kind::kArray: {
        const Array& a = *v.asArray();
        put([&](unsigned char* b, size_t n) { return cbor_encode_array_start(a.size(), b, n); });
        for (const Value& e : a) value(e);
        break;
      }
      case Value::Kind::kDictionary: dictionary(*v.asDictionary()); break;
      case Value::Kind::kError: {
        const Error& e = *v.asError();
        put([&](unsigned char* b, size_t n) { return cbor_encode_tag(kTagObject, b, n); });
        put([&](unsigned char* b, size_t n) { return cbor_encode_array_start(4, b, n); });
        text("NSError");
        text(e.domain());
        integer(e.code());
        dictionary(e.userInfo());
        break;
      }
    }
  }

  void text(std::string_view s) {
    put([&](unsigned char* b, size_t n) { return cbor_encode_string_start(s.size(), b, n); });
    out_.append(s);
  }

  void dictionary(const Dictionary& d) {
    put([&](unsigned char* b, size_t n) { return cbor_encode_map_start(d.size(), b, n); });
    for (const auto& [k, e] : d) {
      text(k);
      value(e);
    }
  }

  void integer(std::int64_t i) {
    if (i >= 0) put([&](unsigned char* b, size_t n) { return cbor_encode_uint(static_cast<uint64_t>(i), b, n); });
    else put([&](unsigned char* b, size_t n) { return cbor_encode_negint(static_cast<uint64_t>(-1 - i), b, n); });
  }

  template <typename F>
  void put(F&& f) {
    unsigned char buf[16];
    const size_t n = f(buf, sizeof buf);
    out_.append(reinterpret_cast<const char*>(buf), n);
  }

  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

// ---- Decoding -------------------------------------------------------------------------------

bool validUTF8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) { ++i; continue; }
    if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
    else return false;
    if (i + len > s.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

struct Frame {
  enum class Kind { kArray, kMap, kTagURL, kTagObject } kind;
  std::size_t expected = 0;  // items (a map counts keys and values)
  Array items;
  std::vector<std::string> keys;  // maps: keys in order, values in items
  std::unordered_set<std::string> seenKeys;
};

class Decoder {
 public:
  explicit Decoder(std::string_view bytes) : bytes_(bytes) {}

  Result<Value> run() {
    std::size_t offset = 0;
    cbor_callbacks cb = callbacks();
    while (!failed_ && !done_) {
      if (offset >= bytes_.size()) return fail("truncated value");
      remaining_ = bytes_.size() - offset;
      const cbor_decoder_result r =
          cbor_stream_decode(reinterpret_cast<cbor_data>(bytes_.data() + offset), remaining_, &cb, this);
      if (r.status == CBOR_DECODER_NEDATA) return fail("truncated value");
      if (r.status != CBOR_DECODER_FINISHED || r.read == 0) return fail("malformed value");
      offset += r.read;
    }
    if (failed_) return error();
    if (offset != bytes_.size()) return fail("trailing bytes after value");
    return std::move(*result_);
  }

 private:
  static Decoder& self(void* ctx) { return *static_cast<Decoder*>(ctx); }

  Error error() const { return xpcError(kXpcMalformedValue, reason_); }
  Error fail(std::string reason) {
    if (!failed_) reason_ = std::move(reason);
    failed_ = true;
    return error();
  }
  void setFailed(std::string reason) { (void)fail(std::move(reason)); }

  void emit(Value v) {
    if (failed_) return;
    if (stack_.empty()) {
      if (done_) return setFailed("more than one value");
      result_ = std::move(v);
      done_ = true;
      return;
    }
    Frame& top = stack_.back();
    switch (top.kind) {
      case Frame::Kind::kTagURL: {
        const std::string* s = v.asString();
        if (!s) return setFailed("URL tag without a string");
        auto url = URL::parse(*s);
        if (!url) return setFailed("not a file URL");
        stack_.pop_back();
        return emit(Value(std::move(*url)));
      }
      case Frame::Kind::kTagObject: {
        const Array* a = v.asArray();
        if (!a || a->size() != 4 || !(*a)[0].asString() || *(*a)[0].asString() != "NSError" || !(*a)[1].asString() ||
            !(*a)[2].toInt64() || !(*a)[3].asDictionary())
          return setFailed("malformed error object");
        Error e(*(*a)[1].asString(), *(*a)[2].toInt64(), *(*a)[3].asDictionary());
        stack_.pop_back();
        return emit(Value(std::move(e)));
      }
      case Frame::Kind::kMap: {
        const bool isKey = (top.items.size() + top.keys.size()) % 2 == 0;
        if (isKey) {
          const std::string* k = v.asString();
          if (!k) return setFailed("dictionary key is not a string");
          // Looked up in a set, not by scanning the keys so far: a frame's cost stays linear.
          if (!top.seenKeys.insert(*k).second) return setFailed("duplicate dictionary key");
          top.keys.push_back(*k);
        } else {
          top.items.push_back(std::move(v));
        }
        break;
      }
      case Frame::Kind::kArray:
        top.items.push_back(std::move(v));
        break;
    }
    closeFinished();
  }

  void closeFinished() {
    while (!failed_ && !stack_.empty()) {
      Frame& top = stack_.back();
      if (top.kind == Frame::Kind::kArray && top.items.size() == top.expected) {
        Value v(std::move(top.items));
        stack_.pop_back();
        emit(std::move(v));
        return;
      }
      if (top.kind == Frame::Kind::kMap && top.items.size() + top.keys.size() == top.expected) {
        Dictionary d;
        for (std::size_t i = 0; i < top.keys.size(); ++i) d.emplace(std::move(top.keys[i]), std::move(top.items[i]));
        stack_.pop_back();
        emit(Value(std::move(d)));
        return;
      }
      return;
    }
  }

  void open(Frame::Kind kind, std::size_t expected) {
    if (failed_) return;
    if (stack_.size() >= kMaxNesting) return setFailed("nesting too deep");
    // Every element takes at least one byte, so a count above what is left is a lie.
    if (expected > remaining_) return setFailed("declared length larger than the frame");
    elements_ += expected;
    if (elements_ > kMaxElements) return setFailed("too many elements");
    stack_.push_back(Frame{kind, expected, {}, {}, {}});
    if (kind == Frame::Kind::kArray || kind == Frame::Kind::kMap) {
      stack_.back().items.reserve(kind == Frame::Kind::kMap ? expected / 2 : expected);
      closeFinished();
    }
  }

  void uinteger(std::uint64_t v) { emit(Value(v)); }
  void negint(std::uint64_t v) {
    if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return setFailed("negative integer out of range");
    emit(Value(static_cast<std::int64_t>(-1 - static_cast<std::int64_t>(v))));
  }

  static cbor_callbacks callbacks() {
    cbor_callbacks cb = cbor_empty_callbacks;
    cb.uint8 = [](void* c, uint8_t v) { self(c).uinteger(v); };
    cb.uint16 = [](void* c, uint16_t v) { self(c).uinteger(v); };
    cb.uint32 = [](void* c, uint32_t v) { self(c).uinteger(v); };
    cb.uint64 = [](void* c, uint64_t v) { self(c).uinteger(v); };
    cb.negint8 = [](void* c, uint8_t v) { self(c).negint(v); };
    cb.negint16 = [](void* c, uint16_t v) { self(c).negint(v); };
    cb.negint32 = [](void* c, uint32_t v) { self(c).negint(v); };
    cb.negint64 = [](void* c, uint64_t v) { self(c).negint(v); };
    cb.byte_string = [](void* c, cbor_data d, size_t n) { self(c).emit(Value(Data(d, d + n))); };
    cb.string = [](void* c, cbor_data d, size_t n) {
      std::string s(reinterpret_cast<const char*>(d), n);
      if (!validUTF8(s)) return self(c).setFailed("text string is not UTF-8");
      self(c).emit(Value(std::move(s)));
    };
    cb.array_start = [](void* c, size_t n) { self(c).open(Frame::Kind::kArray, n); };
    cb.map_start = [](void* c, size_t n) {
      if (n > std::numeric_limits<size_t>::max() / 2) return self(c).setFailed("map too large");
      self(c).open(Frame::Kind::kMap, n * 2);
    };
    cb.tag = [](void* c, uint64_t t) {
      if (t == kTagURL) return self(c).open(Frame::Kind::kTagURL, 1);
      if (t == kTagObject) return self(c).open(Frame::Kind::kTagObject, 1);
      self(c).setFailed("unknown tag");
    };
    cb.float2 = [](void* c, float f) { self(c).emit(Value(static_cast<double>(f))); };
    cb.float4 = [](void* c, float f) { self(c).emit(Value(static_cast<double>(f))); };
    cb.float8 = [](void* c, double d) { self(c).emit(Value(d)); };
    cb.null = [](void* c) { self(c).emit(Value()); };
    cb.undefined = [](void* c) { self(c).setFailed("undefined value"); };
    cb.boolean = [](void* c, bool b) { self(c).emit(Value(b)); };
    cb.byte_string_start = [](void* c) { self(c).setFailed("indefinite-length item"); };
    cb.string_start = [](void* c) { self(c).setFailed("indefinite-length item"); };
    cb.indef_array_start = [](void* c) { self(c).setFailed("indefinite-length item"); };
    cb.indef_map_start = [](void* c) { self(c).setFailed("indefinite-length item"); };
    cb.indef_break = [](void* c) { self(c).setFailed("unexpected break"); };
    return cb;
  }

  std::string_view bytes_;
  std::size_t remaining_ = 0;
  std::size_t elements_ = 0;
  std::vector<Frame> stack_;
  std::optional<Value> result_;
  bool done_ = false;
  bool failed_ = false;
  std::string reason_;
};

}  // namespace

std::string encodeValue(const Value& value) {
  Encoder e;
  e.value(value);
  return e.take();
}

std::string encodeFrame(std::string_view selector, const Array& arguments) {
  Encoder e;
  e.put([](unsigned char* b, size_t n) { return cbor_encode_array_start(2, b, n); });
  e.text(selector);
  e.put([&](unsigned char* b, size_t n) { return cbor_encode_array_start(arguments.size(), b, n); });
  for (const Value& v : arguments) e.value(v);
  std::string payload = e.take();
  const auto len = static_cast<std::uint32_t>(payload.size());
  std::string frame;
  frame.reserve(4 + payload.size());
  frame.push_back(static_cast<char>(len >> 24));
  frame.push_back(static_cast<char>(len >> 16));
  frame.push_back(static_cast<char>(len >> 8));
  frame.push_back(static_cast<char>(len));
  frame += payload;
  return frame;
}

Result<Value> decodeValue(std::string_view bytes, std::size_t maxBytes) {
  if (bytes.size() > maxBytes) return xpcError(kXpcMalformedValue, "value too large");
  return Decoder(bytes).run();
}

Result<Message> decodeMessage(std::string_view payload, std::size_t maxBytes) {
  auto v = decodeValue(payload, maxBytes);
  if (!v.ok()) return v.error();
  const Array* top = v->asArray();
  if (!top || top->size() != 2 || !(*top)[0].asString() || !(*top)[1].asArray())
    return xpcError(kXpcMalformedMessage, "message is not [selector, arguments]");
  const std::string& selector = *(*top)[0].asString();
  if (selector.empty() || selector.size() > kMaxSelectorBytes)
    return xpcError(kXpcMalformedMessage, "bad selector");
  return Message{selector, *(*top)[1].asArray()};
}

}  // namespace zeb::xpc
