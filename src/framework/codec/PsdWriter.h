#pragma once
// Private to the codec library: a small writer of flat, uncompressed PSD files.
#include <QString>

namespace varnik {

class Image;

/// Writes an image as a single-layer PSD file: uncompressed, 8 or 16 bits per
/// channel, grayscale for one or two channels, RGB for three or four; the second
/// or fourth channel is stored as the alpha channel of the flat image.
class PsdWriter
{
public:
    /// `iBits` 0 picks 8 for 8-bit images and 16 otherwise. Throws a
    /// varnik::Error pointer naming the file and the reason on failure.
    static void Write(const QString& sFileName, const Image& cImage, unsigned int iBits);
};

} // namespace varnik
