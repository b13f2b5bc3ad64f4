#include "CrashScope.h"

void CrashScope::RegisterNames()
{
    // Bit i of the category is named by entry i.
    static const char* const s_aNames[32] = {
        "SetLocation", "SetAsRenderTarget", "RestoreRenderTarget", "Create (colour)",
        "Create", "texture size check", "CreateFromFile", "Activate",
        "ReplaceWith", "CopyFrom", "glReadPixels (readback)", "CopyTo",
        "CopyGLTextureToImage", "setProxyLevel", "BeginUndoableOperation", "SynchronizeBackingImageFromGLTexture",
        "EndUndoableOperation", "NewVersion", "PrevVersion", "NextVersion",
        "MergeOldestVersions", "AsImage", "Composite", "Update",
        "CompositeNow", "SetLive", "VarnikTexturePool::SetFileName", "VarnikTexturePool::Tile",
        "VarnikTexturePool::SaveInternal", "VarnikTexturePool::LoadTileTexture", "VarnikTexturePool::Serialize",
        "VarnikTexturePool::SetLocation"};
    varnik::VKCrashReporterFlag::SetCategoryName(s_iCategory, "Texture");
    for (uint32_t i = 0; i < 32; ++i)
        varnik::VKCrashReporterFlag::SetBitName(s_iCategory, 1u << i, s_aNames[i]);
}
