#include <cstring>
#include <new>
#include <stdexcept>

#include "dmg/dmg.h"
#include "dmg/message_numbers.h"
#include "io/buffer.h"

namespace volpack {

const char kPlistPrologue[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple Computer//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n"
    "<dict>\n";

namespace {

constexpr uint32_t kResourceAttributes = 0x50;

void insert_resource(udif_resource_list_t& list, const char* type, int32_t id, const char* name,
                     udif_resource_data_t& data, bool attributes_flag) {
  udif_resource_type_t* t = nullptr;
  for (udif_resource_type_t& candidate : list) {
    if (candidate.name == type) {
      t = &candidate;
      break;
    }
  }
  if (t == nullptr) {
    list.emplace_back();
    t = &list.back();
    t->name = type;
  }
  udif_resource_t* r = nullptr;
  for (udif_resource_t& candidate : t->entries) {
    if (candidate.id == id) {
      r = &candidate;  // replaced in place: the entry keeps its position
      break;
    }
  }
  if (r == nullptr) {
    t->entries.emplace_back();
    r = &t->entries.back();
  }
  r->attributes = attributes_flag ? kResourceAttributes : 0;
  r->id = id;
  r->name = name;
  r->data = std::move(data);
}

}  // namespace

status insertData(udif_resource_list_t& list, const char* type, int32_t id, const char* name,
                  udif_resource_data_t data, bool attributes_flag) {
  return allocating(__func__, msgno::kInsertData,
                    [&] { insert_resource(list, type, id, name, data, attributes_flag); });
}

status insertData(udif_resource_list_t& list, const char* type, int32_t id, const char* name, const void* data,
                  uint64_t length, bool attributes_flag) {
  std::vector<uint8_t> copy;
  VOLPACK_RETURN_IF_ERROR(buffer_alloc(&copy, static_cast<size_t>(length), __func__, msgno::kInsertDataCopy));
  if (length > 0) std::memcpy(copy.data(), data, static_cast<size_t>(length));
  return insertData(list, type, id, name, udif_resource_data_t(std::move(copy)), attributes_flag);
}

result<std::string> base64_encode_pretty(const uint8_t* data, uint64_t length, int tabs, int wrap_column) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const uint64_t chars = (length + 2) / 3 * 4;
  const uint64_t per_line = static_cast<uint64_t>(wrap_column) + 1;
  const uint64_t indent = tabs > 0 ? static_cast<uint64_t>(tabs) : 0;
  // Every full line is followed by a line feed and the indent, even the last one.
  const uint64_t total = indent + chars + (chars / per_line) * (1 + indent) + 1;

  std::string text;
  try {
    text.reserve(static_cast<size_t>(total));
  } catch (const std::exception&) {
    return out_of_memory("base64_encode_pretty_or_die", msgno::kBase64);
  }
  text.append(indent, '\t');
  uint64_t column = 0;
  auto put = [&](char c) {
    text.push_back(c);
    if (column == static_cast<uint64_t>(wrap_column)) {
      text.push_back('\n');
      text.append(indent, '\t');
      column = 0;
    } else {
      ++column;
    }
  };
  uint64_t i = 0;
  for (; i + 3 <= length; i += 3) {
    uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    put(kAlphabet[(v >> 18) & 63]);
    put(kAlphabet[(v >> 12) & 63]);
    put(kAlphabet[(v >> 6) & 63]);
    put(kAlphabet[v & 63]);
  }
  if (length - i == 1) {
    uint32_t v = uint32_t{data[i]} << 16;
    put(kAlphabet[(v >> 18) & 63]);
    put(kAlphabet[(v >> 12) & 63]);
    put('=');
    put('=');
  } else if (length - i == 2) {
    uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8);
    put(kAlphabet[(v >> 18) & 63]);
    put(kAlphabet[(v >> 12) & 63]);
    put(kAlphabet[(v >> 6) & 63]);
    put('=');
  }
  text.push_back('\n');
  return text;
}

status write_resource_plist(stream_t* out, const udif_resource_list_t& list) {
  VOLPACK_RETURN_IF_ERROR(stream_printf(out, "%s\t<key>resource-fork</key>\n\t<dict>\n", kPlistPrologue));
  for (const udif_resource_type_t& type : list) {
    VOLPACK_RETURN_IF_ERROR(stream_printf(out, "\t\t<key>%s</key>\n\t\t<array>\n", type.name.c_str()));
    for (const udif_resource_t& r : type.entries) {
      VOLPACK_RETURN_IF_ERROR(stream_printf(out,
                                            "\t\t\t<dict>\n\t\t\t\t<key>Attributes</key>\n"
                                            "\t\t\t\t<string>0x%04x</string>\n"
                                            "\t\t\t\t<key>Data</key>\n\t\t\t\t<data>\n",
                                            r.attributes));
      // Records are kept in host order; the property list carries them in disk order.
      std::vector<uint8_t> disk;
      const uint8_t* bytes = nullptr;
      uint64_t size = udif_resource_size(r);
      if (const auto* plain = std::get_if<std::vector<uint8_t>>(&r.data)) {
        bytes = plain->data();
      } else {
        VOLPACK_RETURN_IF_ERROR(
            buffer_alloc(&disk, static_cast<size_t>(size), "convert_to_DMG_or_die", msgno::kPlistDiskCopy));
        if (const auto* table = std::get_if<udif_blkx_table_t>(&r.data))
          udif_blkx_table_to_disk(*table, disk.data());
        else
          udif_csum_to_disk(std::get<udif_csum_t>(r.data), disk.data());
        bytes = disk.data();
      }
      result<std::string> text = base64_encode_pretty(bytes, size, 4, 43);
      if (!text) return text.error();
      VOLPACK_RETURN_IF_ERROR(stream_write_exact(out, text.value().data(), text.value().size(), "convert_to_DMG_or_die",
                                                 msgno::kPlistWriteData));
      VOLPACK_RETURN_IF_ERROR(stream_printf(out,
                                            "\t\t\t\t</data>\n\t\t\t\t<key>ID</key>\n"
                                            "\t\t\t\t<string>%d</string>\n"
                                            "\t\t\t\t<key>Name</key>\n\t\t\t\t<string>%s</string>\n\t\t\t</dict>\n",
                                            r.id, r.name.c_str()));
    }
    VOLPACK_RETURN_IF_ERROR(stream_printf(out, "\t\t</array>\n"));
  }
  return stream_printf(out, "\t</dict>\n</dict>\n</plist>\n");
}

}  // namespace volpack
