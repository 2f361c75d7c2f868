// A small reader for the XML property lists of disk images, and Base64.
#include <cstring>

#include "dmg/udif_read.h"

namespace volpack {

namespace {

constexpr int kMaxDepth = 32;

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

class xml_reader {
 public:
  xml_reader(const char* p, size_t n) : start_(p), p_(p), end_(p + n) {}

  result<plist_value> document() {
    skip_misc();
    std::string name;
    bool closing = false, empty = false;
    VOLPACK_RETURN_IF_ERROR(tag(&name, &closing, &empty));
    if (closing || name != "plist" || empty) return fail("no <plist> element");
    result<plist_value> v = value(1);
    if (!v) return v;
    VOLPACK_RETURN_IF_ERROR(expect_end("plist"));
    return v;
  }

 private:
  status fail_status(const char* what) const {
    return status_errorf("%s at byte %zu", what, static_cast<size_t>(p_ - start_));
  }
  result<plist_value> fail(const char* what) const { return fail_status(what); }

  // White space, comments, processing instructions and the DOCTYPE.
  void skip_misc() {
    for (;;) {
      while (p_ < end_ && is_space(*p_)) ++p_;
      if (starts("<?")) {
        skip_past("?>");
      } else if (starts("<!--")) {
        skip_past("-->");
      } else if (starts("<!")) {
        skip_past(">");
      } else {
        return;
      }
    }
  }
  bool starts(const char* s) const {
    size_t n = std::strlen(s);
    return static_cast<size_t>(end_ - p_) >= n && std::memcmp(p_, s, n) == 0;
  }
  void skip_past(const char* s) {
    size_t n = std::strlen(s);
    while (p_ < end_ && !starts(s)) ++p_;
    p_ = static_cast<size_t>(end_ - p_) >= n ? p_ + n : end_;
  }

  // "<name ...>", "</name>" or "<name/>"; attributes are skipped.
  status tag(std::string* name, bool* closing, bool* empty) {
    if (p_ >= end_ || *p_ != '<') return fail_status("expected an element");
    ++p_;
    *closing = p_ < end_ && *p_ == '/';
    if (*closing) ++p_;
    const char* s = p_;
    while (p_ < end_ && *p_ != '>' && *p_ != '/' && !is_space(*p_)) ++p_;
    name->assign(s, p_);
    while (p_ < end_ && *p_ != '>') ++p_;
    if (p_ >= end_) return fail_status("unterminated element");
    *empty = p_[-1] == '/';
    ++p_;
    return status::ok();
  }

  status expect_end(const char* want) {
    skip_misc();
    std::string name;
    bool closing = false, empty = false;
    VOLPACK_RETURN_IF_ERROR(tag(&name, &closing, &empty));
    if (!closing || name != want) return fail_status("mismatched end of element");
    return status::ok();
  }

  // The character data up to the next '<', with the five XML entities and
  // numeric character references below 128 replaced.
  status text(std::string* out) {
    out->clear();
    while (p_ < end_ && *p_ != '<') {
      if (*p_ != '&') {
        *out += *p_++;
        continue;
      }
      static const struct {
        const char* entity;
        char c;
      } kEntities[] = {{"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
      bool done = false;
      for (const auto& e : kEntities) {
        if (starts(e.entity)) {
          *out += e.c;
          p_ += std::strlen(e.entity);
          done = true;
          break;
        }
      }
      if (done) continue;
      if (starts("&#")) {
        const char* q = p_ + 2;
        unsigned v = 0;
        int digits = 0;
        while (q < end_ && *q >= '0' && *q <= '9' && digits < 4) v = v * 10 + static_cast<unsigned>(*q++ - '0'), ++digits;
        if (digits > 0 && q < end_ && *q == ';' && v > 0 && v < 128) {
          *out += static_cast<char>(v);
          p_ = q + 1;
          continue;
        }
      }
      return fail_status("unknown character reference");
    }
    if (p_ >= end_) return fail_status("unterminated text");
    return status::ok();
  }

  result<plist_value> value(int depth) {
    if (depth > kMaxDepth) return fail("elements nest too deep");
    skip_misc();
    std::string name;
    bool closing = false, empty = false;
    VOLPACK_RETURN_IF_ERROR(tag(&name, &closing, &empty));
    if (closing) return fail("unexpected end of element");
    plist_value v;
    if (name == "dict") {
      v.type = plist_value::kind::dict;
      if (empty) return v;
      for (;;) {
        skip_misc();
        if (starts("</")) break;
        std::string key_name;
        VOLPACK_RETURN_IF_ERROR(tag(&key_name, &closing, &empty));
        if (closing || key_name != "key") return fail("expected <key> in a dictionary");
        std::string key;
        if (!empty) {
          VOLPACK_RETURN_IF_ERROR(text(&key));
          VOLPACK_RETURN_IF_ERROR(expect_end("key"));
        }
        result<plist_value> item = value(depth + 1);
        if (!item) return item;
        v.keys.push_back(std::move(key));
        v.items.push_back(item.take());
      }
      VOLPACK_RETURN_IF_ERROR(expect_end("dict"));
      return v;
    }
    if (name == "array") {
      v.type = plist_value::kind::array;
      if (empty) return v;
      for (;;) {
        skip_misc();
        if (starts("</")) break;
        result<plist_value> item = value(depth + 1);
        if (!item) return item;
        v.items.push_back(item.take());
      }
      VOLPACK_RETURN_IF_ERROR(expect_end("array"));
      return v;
    }
    if (name == "true" || name == "false") {
      v.type = plist_value::kind::boolean;
      v.text = name;
      if (!empty) VOLPACK_RETURN_IF_ERROR(expect_end(name.c_str()));
      return v;
    }
    if (name == "string" || name == "integer" || name == "real" || name == "date" || name == "data") {
      v.type = name == "data" ? plist_value::kind::data
               : name == "integer" ? plist_value::kind::integer
                                   : plist_value::kind::string;
      if (empty) return v;
      VOLPACK_RETURN_IF_ERROR(text(&v.text));
      VOLPACK_RETURN_IF_ERROR(expect_end(name.c_str()));
      if (v.type == plist_value::kind::data) {
        v.bad_data = !base64_decode(v.text.data(), v.text.size(), &v.bytes);
        v.text.clear();
      }
      return v;
    }
    return fail("unknown element");
  }

  const char* start_;
  const char* p_;
  const char* end_;
};

}  // namespace

bool base64_decode(const char* text, size_t length, std::vector<uint8_t>* out) {
  out->clear();
  out->reserve(length / 4 * 3);
  uint32_t acc = 0;
  int bits = 0;
  size_t pad = 0;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (is_space(c)) continue;
    if (c == '=') {
      ++pad;
      continue;
    }
    int v = base64_value(c);
    if (v < 0 || pad > 0) return false;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out->push_back(static_cast<uint8_t>(acc >> bits));
    }
  }
  // Left-over bits must be the zero padding of a final group.
  if (pad > 2 || bits >= 6 || (acc & ((1u << bits) - 1)) != 0) return false;
  return true;
}

const plist_value* plist_value::find(const std::string& key) const {
  for (size_t i = 0; i < keys.size() && i < items.size(); ++i) {
    if (keys[i] == key) return &items[i];
  }
  return nullptr;
}

result<plist_value> plist_parse(const char* text, size_t length) {
  xml_reader reader(text, length);
  return reader.document();
}

}  // namespace volpack
