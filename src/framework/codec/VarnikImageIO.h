#pragma once
// The file codec library: reads and writes image files for varnik::Image.
// Programs that touch files call RegisterImageIO() once at start.
namespace varnik {

class ImageCodec;

/// Registers the codec with the SDK (idempotent) and returns it.
ImageCodec* RegisterImageIO();

} // namespace varnik
