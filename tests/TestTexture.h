#pragma once
// A GL texture of a given size and format that answers only size, name, bind and
// unbind; everything else refuses with the interface's "not supported" error.
#include <GL/glew.h>
#include <memory>
#include <vector>
#include "VarnikTest.h"
#include "varnik/Error.h"
#include "varnik/Texture.h"

namespace testtex {

class TestTexture : public varnik::Texture
{
public:
    /// `pPixels` (RGBA, `eType`) may be null.
    TestTexture(int iWidth, int iHeight, GLenum eInternal = GL_RGBA8, GLenum eFormat = GL_RGBA,
                GLenum eType = GL_UNSIGNED_BYTE, const void* pPixels = nullptr)
        : m_iWidth(unsigned(iWidth)), m_iHeight(unsigned(iHeight))
    {
        GLint iSaved = 0;
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &iSaved);
        glGenTextures(1, &m_iName);
        glBindTexture(GL_TEXTURE_2D, m_iName);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glTexImage2D(GL_TEXTURE_2D, 0, GLint(eInternal), iWidth, iHeight, 0, eFormat, eType, pPixels);
        glBindTexture(GL_TEXTURE_2D, GLuint(iSaved));
    }
    ~TestTexture() override { glDeleteTextures(1, &m_iName); }

    unsigned int Width() const override { return m_iWidth; }
    unsigned int Height() const override { return m_iHeight; }
    unsigned int OpenGLName() const override { return m_iName; }
    bool Activate() const override { glBindTexture(GL_TEXTURE_2D, m_iName); ++m_iActivations; return true; }
    bool Deactivate() const override { glBindTexture(GL_TEXTURE_2D, 0); return true; }
    int Activations() const { return m_iActivations; }

    void Create(unsigned, unsigned, unsigned, varnik::Image::Format) override { NotSupported("Create"); }
    const varnik::Image* AsImage() override { NotSupported("AsImage"); }
    void CopyTo(varnik::Image*, bool, const varnik::ImgTile*, varnik::PixelDescriptor::MemoryChannelOrder) override
    { NotSupported("CopyTo"); }
    using varnik::Texture::CopyTo;
    unsigned int BitDepth() const override { return 8; }
    varnik::Image::Format Format() const override { return varnik::Image::e8integer; }
    unsigned int ChannelCount() const override { return 4; }
    void CopyFrom(varnik::Image*, const varnik::ImgTile*) override { NotSupported("CopyFrom"); }
    void ReplaceWith(varnik::Image*, const varnik::ImgTile*) override { NotSupported("ReplaceWith"); }
    void SetLocation(unsigned int) override { NotSupported("SetLocation"); }
    unsigned int Location() const override { return 1; }
    int64_t VideoMemoryUsage(float) const override { return 0; }
    void SetLive(bool) override { NotSupported("SetLive"); }
    bool IsLive() const override { return true; }
    bool NewVersion() override { NotSupported("NewVersion"); }
    bool PrevVersion() override { NotSupported("PrevVersion"); }
    bool NextVersion() override { NotSupported("NextVersion"); }
    int NumVersions() override { return 1; }
    bool MergeOldestVersions() override { NotSupported("MergeOldestVersions"); }
    bool PurgeNewerVersions() override { NotSupported("PurgeNewerVersions"); }
    bool PurgeAllButCurrentVersion() override { NotSupported("PurgeAllButCurrentVersion"); }
    bool BeginUndoableOperation() override { NotSupported("BeginUndoableOperation"); }
    bool EndUndoableOperation() override { NotSupported("EndUndoableOperation"); }
    void SetFiltered(bool) override { NotSupported("SetFiltered"); }
    void SetConvert32To16bitFloat(bool) override { NotSupported("SetConvert32To16bitFloat"); }
    bool setProxyLevel(unsigned char, bool) override { NotSupported("setProxyLevel"); }
    void SyncContent() override {}
    unsigned char getProxyLevel() const override { return 0; }
    void CopyGLTextureToImage(varnik::Image*, bool, const varnik::ImgTile*,
                              varnik::PixelDescriptor::MemoryChannelOrder) const override
    { NotSupported("CopyGLTextureToImage"); }
    bool IsDirty() const override { return false; }
    void SetDirty(bool) override {}
    void AddDirtyTile(const varnik::ImgTile&) override {}

private:
    unsigned int m_iWidth, m_iHeight;
    GLuint m_iName = 0;             ///< owned
    mutable int m_iActivations = 0;
};

/// A 24-bit depth texture.
inline std::unique_ptr<TestTexture> NewDepthTexture(int iWidth, int iHeight)
{
    return std::make_unique<TestTexture>(iWidth, iHeight, GL_DEPTH_COMPONENT24, GL_DEPTH_COMPONENT, GL_UNSIGNED_INT);
}

using varnik::test::ErrorRecordOf;

/// The framebuffer bound now.
inline GLint BoundFramebuffer() { return varnik::test::GLInteger(GL_FRAMEBUFFER_BINDING_EXT); }

} // namespace testtex
