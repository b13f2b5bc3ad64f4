#pragma once

namespace varnik {

/// Six floats: minimum x, y, z, then maximum x, y, z.
struct AxisAlignedBoundingBox
{
    float m_fMinX = 0.f, m_fMinY = 0.f, m_fMinZ = 0.f;
    float m_fMaxX = 0.f, m_fMaxY = 0.f, m_fMaxZ = 0.f;

    AxisAlignedBoundingBox() = default;
    AxisAlignedBoundingBox(float x0, float y0, float z0, float x1, float y1, float z1)
        : m_fMinX(x0), m_fMinY(y0), m_fMinZ(z0), m_fMaxX(x1), m_fMaxY(y1), m_fMaxZ(z1) {}
    bool operator==(const AxisAlignedBoundingBox& o) const
    {
        return m_fMinX == o.m_fMinX && m_fMinY == o.m_fMinY && m_fMinZ == o.m_fMinZ &&
               m_fMaxX == o.m_fMaxX && m_fMaxY == o.m_fMaxY && m_fMaxZ == o.m_fMaxZ;
    }
};
static_assert(sizeof(AxisAlignedBoundingBox) == 24, "six packed floats");

} // namespace varnik
