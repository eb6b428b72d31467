// Real ICC display profiles built in memory for the colour-profile tests:
// version 2.1 RGB matrix/TRC profiles (header, tag table, description,
// copyright, white point, colorants, tone curves) that a colour management
// module accepts.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace icc_samples {

struct Colorants {
    double red[3], green[3], blue[3];  // D50-adapted XYZ
};

// Wide-gamut display primaries (P3 primaries, D65 white adapted to D50).
constexpr Colorants kWideGamut = {{0.5151, 0.2412, -0.0011}, {0.2920, 0.6922, 0.0419}, {0.1571, 0.0666, 0.7841}};
// Another wide-gamut set (primaries of the common 1998 print-oriented space).
constexpr Colorants kPrintGamut = {{0.6097, 0.3111, 0.0195}, {0.2053, 0.6257, 0.0609}, {0.1492, 0.0632, 0.7446}};

struct ProfileOptions {
    std::string description = "Quovix test wide gamut";
    Colorants colorants = kWideGamut;
    double gamma = 2.2;
    // 0: each curve is one gamma value; n: each curve is a table of n entries
    // (three tables of n entries make a profile of about 6n bytes).
    uint32_t curveEntries = 0;
};

class Writer {
public:
    std::vector<unsigned char> bytes;
    void u8(uint32_t v) { bytes.push_back(static_cast<unsigned char>(v)); }
    void u16(uint32_t v) { u8(v >> 8); u8(v & 0xFF); }
    void u32(uint32_t v) { u16(v >> 16); u16(v & 0xFFFF); }
    void sig(const char* s) { for (int i = 0; i < 4; ++i) u8(static_cast<unsigned char>(s[i])); }
    void s15f16(double v) { u32(static_cast<uint32_t>(static_cast<int32_t>(std::lround(v * 65536.0)))); }
    void pad4() { while (bytes.size() % 4 != 0) u8(0); }
    void put32At(size_t at, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            bytes[at + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
    }
};

inline std::vector<unsigned char> xyzTag(const double xyz[3])
{
    Writer w;
    w.sig("XYZ ");
    w.u32(0);
    for (int i = 0; i < 3; ++i)
        w.s15f16(xyz[i]);
    return w.bytes;
}

inline std::vector<unsigned char> curveTag(double gamma, uint32_t entries)
{
    Writer w;
    w.sig("curv");
    w.u32(0);
    if (entries == 0) {
        w.u32(1);
        w.u16(static_cast<uint32_t>(std::lround(gamma * 256.0)));  // u8Fixed8
    } else {
        w.u32(entries);
        for (uint32_t i = 0; i < entries; ++i)
            w.u16(static_cast<uint32_t>(std::lround(std::pow(double(i) / (entries - 1), gamma) * 65535.0)));
    }
    return w.bytes;
}

inline std::vector<unsigned char> makeProfile(const ProfileOptions& o = {})
{
    Writer desc;
    desc.sig("desc");
    desc.u32(0);
    desc.u32(static_cast<uint32_t>(o.description.size() + 1));
    for (char c : o.description)
        desc.u8(static_cast<unsigned char>(c));
    desc.u8(0);
    desc.u32(0);  // no Unicode description
    desc.u32(0);
    desc.u16(0);  // no ScriptCode description
    desc.u8(0);
    for (int i = 0; i < 67; ++i)
        desc.u8(0);

    Writer cprt;
    cprt.sig("text");
    cprt.u32(0);
    for (char c : std::string("No copyright, use freely"))
        cprt.u8(static_cast<unsigned char>(c));
    cprt.u8(0);

    const double d50[3] = {0.9642, 1.0, 0.8249};
    struct Tag {
        const char* signature;
        std::vector<unsigned char> data;
    };
    const std::vector<Tag> tags = {
        {"desc", desc.bytes},
        {"cprt", cprt.bytes},
        {"wtpt", xyzTag(d50)},
        {"rXYZ", xyzTag(o.colorants.red)},
        {"gXYZ", xyzTag(o.colorants.green)},
        {"bXYZ", xyzTag(o.colorants.blue)},
        {"rTRC", curveTag(o.gamma, o.curveEntries)},
        {"gTRC", curveTag(o.gamma, o.curveEntries)},
        {"bTRC", curveTag(o.gamma, o.curveEntries)},
    };

    Writer p;
    p.u32(0);  // size, set below
    p.u32(0);  // preferred CMM: none
    p.u32(0x02100000);
    p.sig("mntr");
    p.sig("RGB ");
    p.sig("XYZ ");
    for (uint32_t v : {2024u, 1u, 1u, 0u, 0u, 0u})
        p.u16(v);
    p.sig("acsp");
    for (int i = 0; i < 6; ++i)
        p.u32(0);  // platform, flags, manufacturer, model, attributes
    p.u32(0);      // perceptual intent
    for (double v : d50)
        p.s15f16(v);
    p.u32(0);  // creator
    while (p.bytes.size() < 128)
        p.u8(0);
    p.u32(static_cast<uint32_t>(tags.size()));
    const size_t table = p.bytes.size();
    for (size_t i = 0; i < tags.size(); ++i) {
        p.sig(tags[i].signature);
        p.u32(0);
        p.u32(static_cast<uint32_t>(tags[i].data.size()));
    }
    for (size_t i = 0; i < tags.size(); ++i) {
        p.pad4();
        p.put32At(table + 12 * i + 4, static_cast<uint32_t>(p.bytes.size()));
        p.bytes.insert(p.bytes.end(), tags[i].data.begin(), tags[i].data.end());
    }
    p.pad4();
    p.put32At(0, static_cast<uint32_t>(p.bytes.size()));
    return p.bytes;
}

} // namespace icc_samples
