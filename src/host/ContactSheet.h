#pragma once
#include <cstdint>
#include <vector>
#include <QString>

namespace varnik { class Image; }

/// A picture of many layers at once: one cell per image, scaled to fit, shown
/// over a checkerboard (so that transparency shows) with its name written
/// under it. Written as an 8-bit RGBA file through the SDK's codec.
class ContactSheet
{
public:
    static const int s_iCell = 192;       ///< thumbnail side in pixels
    static const int s_iLabel = 20;       ///< label strip below each thumbnail
    static const int s_iColumns = 4;      ///< cells per row

    /// Adds a cell showing `cImage` (any format and channel count) named `sName`.
    void Add(const QString& sName, const varnik::Image& cImage);
    int CellCount() const { return int(m_aNames.size()); }
    /// Lays the cells out and writes the file; throws a `varnik::Error` pointer
    /// when there is nothing to show or the file cannot be written.
    void Save(const QString& sFileName) const;

    /// Draws `sText` (upper-cased; unknown characters as boxes) into an RGBA8
    /// buffer of `iWidth` pixels per row at (x, y), `iScale` pixels per font dot,
    /// clipped to the buffer. Returns the width drawn.
    static int DrawText(std::vector<uint8_t>& aPixels, int iWidth, int iHeight, int x, int y, const QString& sText,
                        int iScale, const uint8_t aColor[4]);

private:
    std::vector<QString> m_aNames;                 ///< cell names
    std::vector<std::vector<uint8_t>> m_aCells;    ///< RGBA8 thumbnails, s_iCell squared
};
