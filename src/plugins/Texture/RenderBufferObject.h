#pragma once
#include <GL/glew.h>

/// Owns one renderbuffer name and allocates its storage, single-sample or
/// four-sample. Allocation always puts the previous renderbuffer binding back.
class RenderBuffer
{
public:
    /// Sampling modes: single-sample storage, or four-sample storage. Any other
    /// value makes `Set` bind and restore without allocating.
    enum SamplingMode : unsigned int { eSingleSample = 0, eMultisample4 = 1 };

    /// Generates the name; no storage yet.
    explicit RenderBuffer(unsigned int iSamplingMode);
    /// Generates the name and allocates storage with `Set`.
    RenderBuffer(GLenum eInternalFormat, int iWidth, int iHeight, unsigned int iSamplingMode);
    /// Deletes the name.
    ~RenderBuffer();
    RenderBuffer(const RenderBuffer&) = delete;
    RenderBuffer& operator=(const RenderBuffer&) = delete;

    /// (Re)allocates storage. Throws a `varnik::Error` pointer, with nothing in
    /// GL changed, when a side is above GL_MAX_RENDERBUFFER_SIZE_EXT.
    void Set(GLenum eInternalFormat, int iWidth, int iHeight);
    /// The renderbuffer name.
    GLuint Id() const { return m_iId; }
    /// The sampling mode given at construction.
    unsigned int SamplingMode() const { return m_iSamplingMode; }

    /// GL_MAX_RENDERBUFFER_SIZE_EXT.
    static GLint MaxSize();
    /// A new renderbuffer name, not owned by any object.
    static GLuint GenerateId();

private:
    GLuint m_iId = 0;                 ///< the renderbuffer name, owned
    unsigned int m_iSamplingMode = 0; ///< see SamplingMode
};
