#include "GLProgram.h"
#include <QString>
#include "varnik/Error.h"

namespace varnik {

namespace {

[[noreturn]] void Fail(const char* sFunction, const char* sFile, unsigned int iLine, const QString& sMessage)
{
    throw (new Error(QString(), 4, sFunction, sFile, iLine))->Format(sMessage);
}

GLuint CompileShader(GLenum eType, const char* sSource, const char* sWhat, const char* sFunction,
                     const char* sFile)
{
    GLuint iShader = glCreateShader(eType);
    glShaderSource(iShader, 1, &sSource, nullptr);
    glCompileShader(iShader);
    GLint iOk = 0;
    glGetShaderiv(iShader, GL_COMPILE_STATUS, &iOk);
    if (!iOk) {
        char aLog[2048] = {};
        glGetShaderInfoLog(iShader, sizeof(aLog) - 1, nullptr, aLog);
        glDeleteShader(iShader);
        Fail(sFunction, sFile, __LINE__, QString("The %1 shader does not compile: %2").arg(sWhat, aLog));
    }
    return iShader;
}

} // namespace

GLuint BuildGLProgram(const char* sVertex, const char* sFragment, const char* sWhat, const char* sFunction,
                      const char* sFile)
{
    GLuint iVertex = CompileShader(GL_VERTEX_SHADER, sVertex, sWhat, sFunction, sFile);
    GLuint iFragment = 0;
    try { iFragment = CompileShader(GL_FRAGMENT_SHADER, sFragment, sWhat, sFunction, sFile); }
    catch (Error*) { glDeleteShader(iVertex); throw; }
    GLuint iProgram = glCreateProgram();
    glAttachShader(iProgram, iVertex);
    glAttachShader(iProgram, iFragment);
    glLinkProgram(iProgram);
    glDeleteShader(iVertex);   // kept alive by the program
    glDeleteShader(iFragment);
    GLint iOk = 0;
    glGetProgramiv(iProgram, GL_LINK_STATUS, &iOk);
    if (!iOk) {
        char aLog[2048] = {};
        glGetProgramInfoLog(iProgram, sizeof(aLog) - 1, nullptr, aLog);
        glDeleteProgram(iProgram);
        Fail(sFunction, sFile, __LINE__, QString("The %1 program does not link: %2").arg(sWhat, aLog));
    }
    return iProgram;
}

} // namespace varnik
