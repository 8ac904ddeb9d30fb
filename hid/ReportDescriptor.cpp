#include "ReportDescriptor.h"

#include <map>
#include <vector>

namespace {

enum ItemType { Main = 0, Global = 1, Local = 2, Reserved = 3 };

struct GlobalState {
    quint32 usagePage = 0;
    quint32 reportSize = 0;
    quint32 reportCount = 0;
    quint32 reportId = 0;
};

// Reports larger than this cannot be described by the 16-bit lengths.
constexpr quint64 MaxReportBits = (0xFFFFull - 1) * 8;

} // namespace

std::optional<ReportDescriptorInfo> parseReportDescriptor(const quint8* data, qsizetype size) {
    if (!data || size <= 0)
        return std::nullopt;

    ReportDescriptorInfo info;
    GlobalState global;
    std::vector<GlobalState> stack;
    // Bits per (report id) for input, output, feature.
    std::map<quint32, quint64> bits[3];
    int depth = 0;
    bool haveTopLevel = false;
    quint32 firstUsage = 0;
    bool haveUsage = false;

    qsizetype pos = 0;
    while (pos < size) {
        const quint8 prefix = data[pos];
        if (prefix == 0xFE) { // long item: size, tag, data; carries nothing we need
            if (pos + 3 > size)
                return std::nullopt;
            const qsizetype longSize = data[pos + 1];
            if (pos + 3 + longSize > size)
                return std::nullopt;
            pos += 3 + longSize;
            continue;
        }
        const int sizeCode = prefix & 0x3;
        const qsizetype itemSize = sizeCode == 3 ? 4 : sizeCode;
        const int type = (prefix >> 2) & 0x3;
        const int tag = (prefix >> 4) & 0xF;
        if (pos + 1 + itemSize > size)
            return std::nullopt;
        quint32 value = 0;
        for (qsizetype i = 0; i < itemSize; ++i)
            value |= quint32(data[pos + 1 + i]) << (8 * i);
        pos += 1 + itemSize;

        switch (type) {
        case Main: {
            int kind = -1;
            if (tag == 0x8)
                kind = 0;
            else if (tag == 0x9)
                kind = 1;
            else if (tag == 0xB)
                kind = 2;
            if (kind >= 0) {
                const quint64 add = quint64(global.reportSize) * global.reportCount;
                quint64& total = bits[kind][global.reportId];
                total += add;
                if (total > MaxReportBits)
                    return std::nullopt;
            } else if (tag == 0xA) { // Collection
                if (depth == 0 && !haveTopLevel && value == 1 && haveUsage) {
                    haveTopLevel = true;
                    info.usagePage = quint16(firstUsage >> 16);
                    info.usage = quint16(firstUsage & 0xFFFF);
                }
                ++depth;
            } else if (tag == 0xC) { // End Collection
                if (depth == 0)
                    return std::nullopt;
                --depth;
            }
            // Any other main tag is skipped, as the kernel does.
            haveUsage = false; // local items end with every main item
            break;
        }
        case Global:
            switch (tag) {
            case 0x0:
                global.usagePage = value;
                break;
            case 0x7:
                global.reportSize = value;
                break;
            case 0x8:
                if (value == 0 || value > 0xFF)
                    return std::nullopt;
                global.reportId = value;
                info.numberedReports = true;
                break;
            case 0x9:
                global.reportCount = value;
                break;
            case 0xA:
                if (stack.size() >= 64)
                    return std::nullopt;
                stack.push_back(global);
                break;
            case 0xB:
                if (stack.empty())
                    return std::nullopt;
                global = stack.back();
                stack.pop_back();
                break;
            default:
                if (tag > 0xB)
                    return std::nullopt;
                break; // logical/physical extents, units: not needed
            }
            if (global.reportSize > 0xFFFF || global.reportCount > 0xFFFF)
                return std::nullopt;
            break;
        case Local:
            if (tag == 0x0 && !haveUsage) {
                // A 4-byte usage carries its own page in the high half.
                firstUsage = itemSize == 4 ? value : (global.usagePage << 16) | (value & 0xFFFF);
                haveUsage = true;
            }
            break;
        default:
            break; // reserved item type: the kernel skips it too
        }
    }
    if (depth != 0)
        return std::nullopt;

    quint16* lengths[3] = {&info.inputReportByteLength, &info.outputReportByteLength,
                           &info.featureReportByteLength};
    for (int kind = 0; kind < 3; ++kind) {
        quint64 largest = 0;
        bool any = false;
        for (const auto& [id, count] : bits[kind]) {
            Q_UNUSED(id);
            if (count > 0) {
                any = true;
                largest = std::max(largest, count);
            }
        }
        *lengths[kind] = any ? quint16((largest + 7) / 8 + 1) : 0;
    }
    return info;
}
