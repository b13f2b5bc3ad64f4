// The "run" and "selftest" commands.
#include <GL/glew.h>

#include <memory>
#include <QFileInfo>
#include "JobFile.h"
#include "JobRunner.h"
#include "Jobs.h"
#include "varnik/Action.h"
#include "varnik/ClassDesc.h"
#include "varnik/Error.h"
#include "varnik/Kernel.h"
#include "varnik/Menu.h"

namespace {

const char* const s_sTesterClass = "TextureTester";
const char* const s_sTestMenu = "UnitTest";
const char* const s_sRunAll = "Run all tests";

} // namespace

unsigned int HostMaxTextureSize()
{
    GLint iSize = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &iSize);
    return iSize > 0 ? unsigned(iSize) : 0u;
}

int RunJobCommand(const QStringList& aArguments, QTextStream& out)
{
    // Every file is read and checked before the first one runs.
    QVector<JobFile> aJobs;
    for (const QString& sFile : aArguments) {
        try {
            aJobs << JobFile::Load(sFile, HostMaxTextureSize(), HostProjectFolder());
        } catch (varnik::Error* pError) {
            QTextStream(stderr) << "varnik-host: " << pError->Text() << "\n";
            varnik::Error::Discard(pError);
            return 1;
        }
    }
    for (const JobFile& cJob : aJobs) {
        out << "job " << cJob.sFileName << ": " << cJob.aLayers.size() << " layer(s), " << cJob.aSteps.size()
            << " step(s)\n";
        JobRunner cRunner(cJob, out);
        try {
            cRunner.Run();
        } catch (varnik::Error* pError) {
            out.flush();
            QTextStream(stderr) << "varnik-host: " << pError->Text() << "\n";
            varnik::Error::Discard(pError);
            return 3;
        }
        out << "job " << cJob.sFileName << ": done\n";
    }
    return 0;
}

int RunSelfTestCommand(const QStringList& aArguments, QTextStream& out)
{
    const varnik::ClassDesc* pClass = varnik::ClassDesc::FindByName(s_sTesterClass);
    if (!pClass) {
        QTextStream(stderr) << "varnik-host: no " << s_sTesterClass << " class is loaded\n";
        return 3;
    }
    std::unique_ptr<varnik::Node> pNode(varnik::Kernel::CreateClassInstance(pClass));
    varnik::UnitTest* pTester = dynamic_cast<varnik::UnitTest*>(pNode.get());
    // The node offers its groups as menu entries; names are checked against them.
    const QStringList aEntries = varnik::Menus::Entries(s_sTestMenu, s_sTesterClass);
    if (!pTester || aEntries.isEmpty()) {
        QTextStream(stderr) << "varnik-host: " << s_sTesterClass << " added no \"" << s_sTestMenu << "\" menu\n";
        return 3;
    }
    QStringList aGroups = aArguments.isEmpty() ? QStringList(s_sRunAll) : aArguments;
    for (const QString& sGroup : aGroups)
        if (!aEntries.contains(sGroup)) {
            QTextStream(stderr) << "varnik-host: unknown test group \"" << sGroup << "\" (groups: "
                                << aEntries.join(", ") << ")\n";
            return 1;
        }
    int iFailed = 0;
    for (const QString& sGroup : aGroups) {
        const bool bPassed = pTester->Run(sGroup);
        out << QString("%1  %2\n").arg(sGroup, -18).arg(bPassed ? "pass" : "FAIL");
        out.flush();
        iFailed += bPassed ? 0 : 1;
    }
    out << (iFailed ? QString("%1 group(s) failed; the log names each failed check\n").arg(iFailed)
                    : QString("all checks passed\n"));
    return iFailed ? 3 : 0;
}
