#pragma once
#include <cstdint>
#include <vector>
#include "varnik/Image.h"

namespace varnik {

template <typename T> class Store;

/// Blends paint layers on the GPU: layer 1 over layer 0, drawn into a target
/// texture, touching only the current scissor box (when the scissor test is on;
/// the whole target otherwise). Layer 0 and the target may be the same texture:
/// the mixer copies the box of layer 0 to a scratch texture first, so that no
/// draw reads and writes one texture.
///
/// Layers are sampled at each target texel's relative position (a layer of
/// another size is scaled with linear filtering). Colours are straight (not
/// premultiplied). With d the layer 0 colour and alpha, s the layer 1 ones, each
/// alpha scaled by its layer's opacity and weight and each colour by its
/// brightness, modes 0 to 3 are source-over with a separable blend B:
///   A = sa + da (1 - sa)
///   rgb = (sa (1 - da) s + sa da B(d, s) + (1 - sa) da d) / A   (0 where A is 0)
///   0 normal B = s, 1 add B = min(1, d + s), 2 multiply B = d s, 3 screen B = d + s - d s
/// so that a stroke on a transparent layer keeps its own colour. The others:
///   4 erase                 rgb = d                         alpha da (1 - sa)
///   5 replace               rgb = s                         alpha sa
/// Fixed-point targets clamp the result to [0, 1]; float targets clamp alpha only.
/// Weights hold one opacity factor per layer (index i scales layer i's alpha;
/// missing entries are 1).
///
/// GL state it changes (program, read and draw framebuffer bindings, viewport,
/// active unit, texture and sampler bindings of units 0 and 1, blend, depth,
/// stencil, cull, alpha test, logic op, sRGB and colour mask) is put back before
/// `MixIntoTexture` returns; the scissor test and box are only read.
class TextureMixer
{
public:
    enum BlendMode : unsigned int { eNormal = 0, eAdd = 1, eMultiply = 2, eScreen = 3, eErase = 4, eReplace = 5 };

    /// Name of the shared compositing framebuffer, 0 until someone makes it.
    /// The mixer draws through it; textures attach to it once to warm it up.
    static unsigned int s_iCompositingFBO;

    TextureMixer();
    ~TextureMixer();
    TextureMixer(const TextureMixer&) = delete;
    TextureMixer& operator=(const TextureMixer&) = delete;

    void SetLayerCount(unsigned int iCount);
    unsigned int LayerCount() const { return unsigned(m_aLayers.size()); }
    /// Layer `iIndex`: the OpenGL texture name, its opacity, flags (kept for the
    /// host, 0), and a brightness factor applied to its colour (1 keeps it).
    void SetLayer(unsigned int iIndex, unsigned int iTextureName, float fOpacity, int iFlags, float fBrightness);
    /// Throws a `varnik::Error` pointer for a mode above 5.
    void SetBlendMode(unsigned int iMode);
    unsigned int BlendMode() const { return m_iMode; }
    /// Copies the weights; null clears them.
    void SetWeights(const Store<float>* pWeights);
    /// Draws layer 1 over layer 0 into `iTargetName`, a texture of the given size
    /// and format. Throws a `varnik::Error` pointer (GL state untouched) when the
    /// format cannot be rendered to (32-bit integer, depth, none), when a layer or
    /// the target has no name, or when fewer than two layers are set.
    void MixIntoTexture(unsigned int iTargetName, unsigned int iWidth, unsigned int iHeight, Image::Format eFormat);

    /// Frees the shared GL objects (program, scratch texture, framebuffer); the
    /// next mix makes them again. Call before the GL context goes away.
    static void ReleaseSharedResources();

private:
    struct Layer { unsigned int iName = 0; float fOpacity = 1.f; int iFlags = 0; float fBrightness = 1.f; };
    std::vector<Layer> m_aLayers;   ///< layers, index 0 at the bottom
    unsigned int m_iMode = 0;       ///< blend mode
    std::vector<float> m_aWeights;  ///< per-layer opacity factors
};

} // namespace varnik
