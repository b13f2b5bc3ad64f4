#include "ContactSheet.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include "varnik/Error.h"
#include "varnik/Image.h"
#include "varnik/PixelDescriptor.h"

namespace {

/// A 5x7 dot font: seven rows per glyph, bit 4 the leftmost dot.
struct Glyph { char c; uint8_t aRows[7]; };
const Glyph s_aFont[] = {
    { '0', { 0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E } }, { '1', { 0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E } },
    { '2', { 0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F } }, { '3', { 0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E } },
    { '4', { 0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02 } }, { '5', { 0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E } },
    { '6', { 0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E } }, { '7', { 0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08 } },
    { '8', { 0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E } }, { '9', { 0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C } },
    { 'A', { 0x0E, 0x11, 0x11, 0x11, 0x1F, 0x11, 0x11 } }, { 'B', { 0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E } },
    { 'C', { 0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E } }, { 'D', { 0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C } },
    { 'E', { 0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F } }, { 'F', { 0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10 } },
    { 'G', { 0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F } }, { 'H', { 0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11 } },
    { 'I', { 0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E } }, { 'J', { 0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C } },
    { 'K', { 0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11 } }, { 'L', { 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F } },
    { 'M', { 0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11 } }, { 'N', { 0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11 } },
    { 'O', { 0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E } }, { 'P', { 0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10 } },
    { 'Q', { 0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D } }, { 'R', { 0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11 } },
    { 'S', { 0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E } }, { 'T', { 0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04 } },
    { 'U', { 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E } }, { 'V', { 0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04 } },
    { 'W', { 0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A } }, { 'X', { 0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11 } },
    { 'Y', { 0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04 } }, { 'Z', { 0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F } },
    { ' ', { 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00 } }, { '-', { 0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00 } },
    { '_', { 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F } }, { '.', { 0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C } },
    { ',', { 0x00, 0x00, 0x00, 0x00, 0x0C, 0x04, 0x08 } }, { '(', { 0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02 } },
    { ')', { 0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08 } }, { ':', { 0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00 } },
    { '/', { 0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x00 } },
};
const uint8_t s_aUnknownGlyph[7] = { 0x1F, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1F };

const uint8_t* GlyphRows(QChar c)
{
    const char a = c.toUpper().toLatin1();
    for (const Glyph& g : s_aFont)
        if (g.c == a)
            return g.aRows;
    return s_aUnknownGlyph;
}

} // namespace

// Out-of-line definition: std::min binds the value by reference.
const int ContactSheet::s_iColumns;

int ContactSheet::DrawText(std::vector<uint8_t>& aPixels, int iWidth, int iHeight, int x, int y, const QString& sText,
                           int iScale, const uint8_t aColor[4])
{
    const int iAdvance = 6 * iScale;
    for (int i = 0; i < sText.size(); ++i) {
        const uint8_t* aRows = GlyphRows(sText[i]);
        for (int r = 0; r < 7 * iScale; ++r)
            for (int c = 0; c < 5 * iScale; ++c) {
                const int px = x + i * iAdvance + c, py = y + r;
                if (px < 0 || py < 0 || px >= iWidth || py >= iHeight || !(aRows[r / iScale] & (0x10 >> (c / iScale))))
                    continue;
                std::memcpy(&aPixels[(size_t(py) * size_t(iWidth) + size_t(px)) * 4], aColor, 4);
            }
    }
    return int(sText.size()) * iAdvance;
}

void ContactSheet::Add(const QString& sName, const varnik::Image& cImage)
{
    const int w = int(cImage.Width()), h = int(cImage.Height());
    if (w <= 0 || h <= 0)
        throw (new varnik::Error(QString(), 3, "ContactSheet::Add"))->Format("layer \"%1\" has no pixels", sName);
    // Nearest sampling, one source row at a time, as 8-bit RGBA.
    const float fScale = float(std::max(w, h)) / float(s_iCell);
    const int iThumbW = std::max(1, int(float(w) / fScale)), iThumbH = std::max(1, int(float(h) / fScale));
    const varnik::PixelDescriptor cRGBA8(4, varnik::PixelDescriptor::eUInt8);
    std::vector<uint8_t> aRow(size_t(w) * 4), aCell(size_t(s_iCell) * s_iCell * 4);
    for (int y = 0; y < s_iCell; ++y)
        for (int x = 0; x < s_iCell; ++x) {
            const uint8_t iGrey = ((x / 12 + y / 12) & 1) ? 200 : 150;  // checkerboard behind transparency
            uint8_t* p = &aCell[(size_t(y) * s_iCell + size_t(x)) * 4];
            p[0] = p[1] = p[2] = iGrey;
            p[3] = 255;
        }
    for (int y = 0; y < iThumbH; ++y) {
        cImage.getTile(0, std::min(h - 1, int(float(y) * fScale)), w, 1, aRow.data(), &cRGBA8);
        for (int x = 0; x < iThumbW; ++x) {
            const uint8_t* s = &aRow[size_t(std::min(w - 1, int(float(x) * fScale))) * 4];
            uint8_t* d = &aCell[(size_t(y) * s_iCell + size_t(x)) * 4];
            for (int c = 0; c < 3; ++c)
                d[c] = uint8_t((s[c] * s[3] + d[c] * (255 - s[3]) + 127) / 255);
        }
    }
    m_aNames.push_back(sName);
    m_aCells.push_back(std::move(aCell));
}

void ContactSheet::Save(const QString& sFileName) const
{
    if (m_aCells.empty())
        throw (new varnik::Error(QString(), 3, "ContactSheet::Save"))->Format("%1: no layers to show", sFileName);
    const int iGap = 8;
    const int iColumns = std::min(s_iColumns, int(m_aCells.size()));
    const int iRows = (int(m_aCells.size()) + iColumns - 1) / iColumns;
    const int W = iColumns * (s_iCell + iGap) + iGap, H = iRows * (s_iCell + s_iLabel + iGap) + iGap;
    std::vector<uint8_t> aSheet(size_t(W) * size_t(H) * 4, 0);
    for (size_t i = 3; i < aSheet.size(); i += 4)
        aSheet[i] = 255;
    const uint8_t aWhite[4] = { 255, 255, 255, 255 };
    for (size_t i = 0; i < m_aCells.size(); ++i) {
        const int x0 = iGap + int(i % size_t(iColumns)) * (s_iCell + iGap);
        const int y0 = iGap + int(i / size_t(iColumns)) * (s_iCell + s_iLabel + iGap);
        for (int y = 0; y < s_iCell; ++y)
            std::memcpy(&aSheet[(size_t(y0 + y) * size_t(W) + size_t(x0)) * 4], &m_aCells[i][size_t(y) * s_iCell * 4],
                        size_t(s_iCell) * 4);
        // Names longer than the cell are cut at its edge.
        std::vector<uint8_t> aLabel(size_t(s_iCell) * s_iLabel * 4, 0);
        DrawText(aLabel, s_iCell, s_iLabel, 2, 3, m_aNames[i], 2, aWhite);
        for (int y = 0; y < s_iLabel; ++y)
            std::memcpy(&aSheet[(size_t(y0 + s_iCell + y) * size_t(W) + size_t(x0)) * 4],
                        &aLabel[size_t(y) * s_iCell * 4], size_t(s_iCell) * 4);
    }
    for (size_t i = 3; i < aSheet.size(); i += 4)
        aSheet[i] = 255;
    varnik::Image cSheet;
    cSheet.create(unsigned(W), unsigned(H), 4, varnik::Image::e8integer);
    cSheet.setTile(0, 0, W, H, aSheet.data());
    cSheet.Save(sFileName);
}
