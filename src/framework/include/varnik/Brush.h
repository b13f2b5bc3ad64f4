#pragma once
#include <vector>
#include "varnik/Color.h"
#include "varnik/ImgDirtyRegion.h"

namespace varnik {

class Texture;

/// The host's side of a paint stroke: soft round dabs drawn along a polyline
/// into a source texture on the GPU. The layer then composites that source over
/// itself through the stroke's dirty region (`Texture::Composite`).
///
/// Colour is straight: every texel a stroke touches takes the brush colour,
/// and the dabs' alphas accumulate by source-over (a = a_dab + a (1 - a_dab)).
/// A dab's alpha is the colour's alpha times a falloff of the distance from its
/// centre: 1 within `hardness` times the radius, easing to 0 at the radius.
///
/// Points are in texels of the target texture (x right, y up from row 0, as GL
/// stores rows). Drawing covers the target's GL storage with the viewport of
/// its `Width()` x `Height()`. Every GL state the brush changes (framebuffer
/// bindings, viewport, program, blend, scissor, depth, stencil, cull and colour
/// mask) is put back before it returns.
class Brush
{
public:
    struct Point { float x = 0.f, y = 0.f; };

    Brush() = default;
    ~Brush() = default;
    Brush(const Brush&) = delete;
    Brush& operator=(const Brush&) = delete;

    void SetColor(const Color& cColor) { m_cColor = cColor; }
    /// Radius in texels; values below 0.5 act as 0.5.
    void SetRadius(float fRadius) { m_fRadius = fRadius < 0.5f ? 0.5f : fRadius; }
    /// 0 (soft, falling off from the centre) to 1 (a hard disc); clamped.
    void SetHardness(float fHardness) { m_fHardness = fHardness < 0.f ? 0.f : fHardness > 1.f ? 1.f : fHardness; }
    /// Distance between dab centres as a fraction of the radius; values below
    /// 0.05 act as 0.05 so that a stroke cannot draw without end.
    void SetSpacing(float fSpacing) { m_fSpacing = fSpacing < 0.05f ? 0.05f : fSpacing; }
    const Color& GetColor() const { return m_cColor; }
    float Radius() const { return m_fRadius; }
    float Hardness() const { return m_fHardness; }
    float Spacing() const { return m_fSpacing; }

    /// Dab centres along the polyline: the first point, then one every spacing
    /// times radius along the segments (the remainder carried over corners).
    std::vector<Point> DabCentres(const std::vector<Point>& aPoints) const;

    /// Paints the stroke into `cTarget` (on the GPU, with a GL name) and
    /// returns its dirty region: the bounds of each dab clipped to the
    /// texture, gathered into the region's tiles. Throws a `varnik::Error`
    /// pointer for a target without a GL name or of a format that cannot be
    /// drawn into; an empty polyline paints nothing and returns an empty region.
    ImgDirtyRegion Paint(Texture& cTarget, const std::vector<Point>& aPoints);

    /// Clears `cTarget` to transparent black: inside the region's tiles, or all
    /// of it when `pRegion` is null (a source texture is cleared between strokes).
    void Clear(Texture& cTarget, const ImgDirtyRegion* pRegion = nullptr);

    /// Frees the shared program and framebuffer; made again on the next use.
    /// Call before the GL context goes away.
    static void ReleaseSharedResources();

private:
    Color m_cColor = Color(0.f, 0.f, 0.f, 1.f); ///< straight colour; alpha is the dab opacity
    float m_fRadius = 16.f;                     ///< texels
    float m_fHardness = 0.5f;                   ///< share of the radius painted at full alpha
    float m_fSpacing = 0.25f;                   ///< dab distance over radius
};

} // namespace varnik
