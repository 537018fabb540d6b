#include "SimFrameParser.h"

#include "protocol/Frame.h"

#include <cstdio>

CSimFrameParser::CSimFrameParser(FrameFn onFrame, DropFn onDrop)
    : m_onFrame(std::move(onFrame)), m_onDrop(std::move(onDrop))
{
}

void CSimFrameParser::Feed(const std::uint8_t* bytes, std::size_t count)
{
    m_buffer.insert(m_buffer.end(), bytes, bytes + count);
    Scan();
    // Keep the buffer from growing with consumed bytes.
    if (m_nStart > 0 && (m_nStart == m_buffer.size() || m_nStart > 65536)) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_nStart));
        m_nStart = 0;
    }
}

void CSimFrameParser::Drop(std::size_t count, const std::string& why)
{
    if (m_onDrop)
        m_onDrop(why + " (" + std::to_string(count) + " byte" + (count == 1 ? "" : "s") + " dropped)");
    m_nStart += count;
}

void CSimFrameParser::Scan()
{
    for (;;) {
        const std::uint8_t* p = m_buffer.data() + m_nStart;
        const std::size_t avail = m_buffer.size() - m_nStart;
        if (avail == 0)
            return;
        // Skip to the next start marker; whatever precedes it is noise.
        std::size_t skip = 0;
        while (skip < avail && p[skip] != FRAME_MARKER)
            ++skip;
        if (skip > 0) {
            Drop(skip, "bytes outside a frame");
            continue;
        }
        if (avail < 2)
            return;
        if (p[1] != 0xFF - FRAME_MARKER) {
            Drop(1, "start marker without its complement");
            continue;
        }
        if (avail < 6)
            return;
        const std::size_t length = (static_cast<std::size_t>(p[4]) << 8) | p[5];
        if (length > MAX_PAYLOAD) {
            Drop(1, "length " + std::to_string(length) + " beyond " + std::to_string(MAX_PAYLOAD));
            continue;
        }
        const std::size_t total = length + FRAME_OVERHEAD;
        if (avail < total)
            return;
        char what[64];
        std::snprintf(what, sizeof what, "frame %02X %02X %zu", p[2], p[3], length);
        if (p[6 + length] != FRAME_MARKER) {
            Drop(1, std::string(what) + ": no end marker");
            continue;
        }
        if (ComputeChecksum(p, length + 7) != p[7 + length]) {
            Drop(1, std::string(what) + ": checksum mismatch");
            continue;
        }
        CSimFrame frame;
        frame.command = p[2];
        frame.subcommand = p[3];
        frame.payload.assign(p + 6, p + 6 + length);
        m_nStart += total;
        m_onFrame(frame);
    }
}
