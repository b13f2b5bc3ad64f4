#pragma once
// Internal to the SDK: builds the small GLSL programs of the brush and the mixer.
#include <GL/glew.h>

namespace varnik {

/// Compiles both shaders and links them into a program. On a compile or link
/// failure nothing is left behind and a varnik::Error is thrown that names
/// sFunction and sFile, says which program ("brush", "blend") failed and
/// carries the driver's log. The shaders are deleted once linked: the program
/// keeps them alive.
GLuint BuildGLProgram(const char* sVertex, const char* sFragment, const char* sWhat, const char* sFunction,
                      const char* sFile);

} // namespace varnik
