/* Archives crafted and read with libzip directly, so no test trusts the zip library it checks. */
#pragma once
#include "VkTest.h"

#include <zip.h>

#include <map>

namespace vktest::zipfile {

using Files = std::map<std::string, Bytes>;

/* One archive entry as a test crafts it. */
struct Entry {
    std::string name, data;
    zip_uint8_t opsys = ZIP_OPSYS_UNIX;
    zip_uint32_t attr = 0100600u << 16;
    bool encrypted = false;
};

inline void Write(const std::string& path, const std::vector<Entry>& entries,
                  zip_uint32_t compression = ZIP_CM_DEFLATE) {
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, nullptr);
    ASSERT_NE(za, nullptr) << path;
    for (const Entry& e : entries) {
        zip_int64_t idx = zip_file_add(
            za, e.name.c_str(), zip_source_buffer(za, e.data.data(), e.data.size(), 0), ZIP_FL_ENC_RAW);
        EXPECT_GE(idx, 0) << "libzip would not write " << e.name;
        zip_set_file_compression(za, (zip_uint64_t)idx, compression, 0);
        zip_file_set_external_attributes(za, (zip_uint64_t)idx, 0, e.opsys, e.attr);
        EXPECT_TRUE(!e.encrypted ||
                    zip_file_set_encryption(za, (zip_uint64_t)idx, ZIP_EM_AES_256, "pw") == 0);
    }
    EXPECT_EQ(zip_close(za), 0);
}
inline void Write(const std::string& path, const Files& files) {
    std::vector<Entry> entries;
    for (const auto& [name, data] : files)
        entries.push_back({name, std::string(data.begin(), data.end())});
    Write(path, entries);
}

/* name -> bytes of every entry; each must be a Unix regular file, small ones stored, large ones deflated. */
inline Files Read(const std::string& path) {
    Files out;
    zip_t* za = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, nullptr);
    EXPECT_NE(za, nullptr) << "libzip cannot open " << path;
    for (zip_int64_t i = 0; za && i < zip_get_num_entries(za, 0); ++i) {
        zip_stat_t st;
        zip_stat_index(za, (zip_uint64_t)i, 0, &st);
        if (st.size < 4096) {
            EXPECT_EQ(st.comp_method, ZIP_CM_STORE) << st.name << ": small members are stored";
        } else if (st.size >= (1 << 20)) {
            EXPECT_LT(st.comp_size, st.size / 100) << st.name << ": large ones deflated";
        }
        Bytes data(st.size);
        zip_file_t* zf = zip_fopen_index(za, (zip_uint64_t)i, 0);
        EXPECT_EQ(zip_fread(zf, data.data(), st.size), (zip_int64_t)st.size);
        zip_fclose(zf);
        zip_uint8_t opsys = 0;
        zip_uint32_t attr = 0;
        zip_file_get_external_attributes(za, (zip_uint64_t)i, 0, &opsys, &attr);
        EXPECT_EQ(opsys, ZIP_OPSYS_UNIX);
        EXPECT_EQ((attr >> 16) & 0170000u, 0100000u) << "a regular file";
        out[zip_get_name(za, (zip_uint64_t)i, ZIP_FL_ENC_RAW)] = data;
    }
    if (za) zip_discard(za);
    return out;
}

} // namespace vktest::zipfile
