#pragma once
#include <cstdint>
#include "varnik/VKCrashReporterFlag.h"

/// A crash-reporter scope of the module's category (5): marks one operation
/// of the texture or the pool as under way from construction to destruction.
class CrashScope : public varnik::VKCrashReporterFlag
{
public:
    /// The module's operations, one bit each.
    enum Bit : uint32_t {
        eSetLocation = 0x1,
        eSetAsRenderTarget = 0x2,
        eRestoreRenderTarget = 0x4,
        eCreateWithColour = 0x8,
        eCreate = 0x10,
        eTextureSizeCheck = 0x20,
        eCreateFromFile = 0x40,
        eActivate = 0x80,
        eReplaceWith = 0x100,
        eCopyFrom = 0x200,
        eReadPixels = 0x400,
        eCopyTo = 0x800,
        eCopyGLTextureToImage = 0x1000,
        eSetProxyLevel = 0x2000,
        eBeginUndoableOperation = 0x4000,
        eSynchronizeBackingImage = 0x8000,
        eEndUndoableOperation = 0x10000,
        eNewVersion = 0x20000,
        ePrevVersion = 0x40000,
        eNextVersion = 0x80000,
        eMergeOldestVersions = 0x100000,
        eAsImage = 0x200000,
        eComposite = 0x400000,
        eUpdate = 0x800000,
        eCompositeNow = 0x1000000,
        eSetLive = 0x2000000,
        ePoolSetFileName = 0x4000000,
        ePoolTile = 0x8000000,
        ePoolSaveInternal = 0x10000000,
        ePoolLoadTileTexture = 0x20000000,
        ePoolSerialize = 0x40000000,
        ePoolSetLocation = 0x80000000u,
    };

    static const uint32_t s_iCategory = 5;

    explicit CrashScope(Bit eBit) : varnik::VKCrashReporterFlag(s_iCategory, eBit) {}

    /// Names the category and every bit for the host's crash report.
    static void RegisterNames();
};
