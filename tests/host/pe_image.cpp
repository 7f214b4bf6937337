#include "pe_image.h"

#include <fstream>
#include <iterator>

namespace qvtest {
namespace {

struct Section {
    uint32_t va, vsize, raw, rawsize;
};

class Reader {
public:
    explicit Reader(std::vector<unsigned char> data) : d_(std::move(data)) {}
    bool has(size_t off, size_t n) const { return off <= d_.size() && n <= d_.size() - off; }
    uint16_t u16(size_t off) const { return has(off, 2) ? d_[off] | d_[off + 1] << 8 : 0; }
    uint32_t u32(size_t off) const { return has(off, 4) ? u16(off) | uint32_t(u16(off + 2)) << 16 : 0; }
    std::string cstr(size_t off) const {
        std::string s;
        while (has(off, 1) && d_[off])
            s += static_cast<char>(d_[off++]);
        return s;
    }
    size_t size() const { return d_.size(); }

private:
    std::vector<unsigned char> d_;
};

}  // namespace

std::optional<PeImage> read_pe_image(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open " + path;
        return std::nullopt;
    }
    Reader r(std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {}));
    if (r.u16(0) != 0x5a4d) {
        *error = "no MZ header";
        return std::nullopt;
    }
    size_t pe = r.u32(0x3c);
    if (r.u32(pe) != 0x00004550) {
        *error = "no PE signature";
        return std::nullopt;
    }
    PeImage img;
    size_t coff = pe + 4;
    img.machine = r.u16(coff);
    uint16_t nsections = r.u16(coff + 2);
    uint16_t opt_size = r.u16(coff + 16);
    size_t opt = coff + 20;
    img.magic = r.u16(opt);
    img.subsystem = r.u16(opt + 68);
    bool plus = img.magic == 0x20b;
    uint32_t ndirs = r.u32(opt + (plus ? 108 : 92));
    size_t dirs = opt + (plus ? 112 : 96);

    std::vector<Section> sections;
    for (size_t i = 0, s = opt + opt_size; i < nsections; i++, s += 40)
        sections.push_back({r.u32(s + 12), r.u32(s + 8), r.u32(s + 20), r.u32(s + 16)});
    auto offset = [&](uint32_t rva) -> size_t {
        for (const Section& s : sections)
            if (rva >= s.va && rva < s.va + std::max(s.vsize, s.rawsize))
                return s.raw + (rva - s.va);
        return r.size();  // outside the file: reads give zeros
    };

    if (ndirs > 1 && r.u32(dirs + 8)) {
        for (size_t d = offset(r.u32(dirs + 8)); r.has(d, 20) && r.u32(d + 12); d += 20)
            img.imports.push_back(r.cstr(offset(r.u32(d + 12))));
    }

    if (ndirs > 2 && r.u32(dirs + 16)) {
        uint32_t rsrc_rva = r.u32(dirs + 16);
        size_t root = offset(rsrc_rva);
        // Entries of a resource directory: (id, offset relative to the resource root).
        auto entries = [&](size_t dir) {
            std::vector<std::pair<uint32_t, uint32_t>> out;
            size_t n = size_t(r.u16(dir + 12)) + r.u16(dir + 14);
            for (size_t i = 0; i < n && i < 4096; i++)
                out.emplace_back(r.u32(dir + 16 + 8 * i), r.u32(dir + 20 + 8 * i));
            return out;
        };
        for (auto [type, type_off] : entries(root)) {
            if (type != 6 || !(type_off & 0x80000000u))
                continue;
            for (auto [block, block_off] : entries(root + (type_off & 0x7fffffffu))) {
                if (!(block_off & 0x80000000u))
                    continue;
                for (auto [lang, leaf] : entries(root + (block_off & 0x7fffffffu))) {
                    if (leaf & 0x80000000u)
                        continue;
                    size_t data = offset(r.u32(root + leaf));
                    uint32_t size = r.u32(root + leaf + 4);
                    std::vector<std::u16string> strings;
                    size_t p = data;
                    for (int i = 0; i < 16 && p + 2 <= data + size; i++) {
                        uint16_t len = r.u16(p);
                        p += 2;
                        std::u16string s;
                        for (uint16_t k = 0; k < len && p + 2 <= data + size; k++, p += 2)
                            s += static_cast<char16_t>(r.u16(p));
                        strings.push_back(s);
                    }
                    img.string_blocks[block][lang] = strings;
                }
            }
        }
    }
    return img;
}

}  // namespace qvtest
