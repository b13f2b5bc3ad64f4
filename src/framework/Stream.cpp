#include "varnik/Stream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <QFile>
#include "varnik/ClassDesc.h"
#include "varnik/Error.h"
#include "varnik/Kernel.h"
#include "varnik/Node.h"

namespace varnik {

namespace {

const char s_aMagic[8] = { 'V', 'R', 'N', 'K', 'S', 'C', 'N', '1' };

// Smallest bytes a class entry of the header can take: an empty name (its
// length word) and the version.
const size_t s_iMinClassEntryBytes = 4 + 4;
// Smallest bytes a node takes: its class index in the table and its record length.
const size_t s_iMinNodeBytes = 4 + 4;

Error* StreamError(const char* sFunction, unsigned int iLine)
{
    return new Error(QString(), 4, QString::fromLatin1(sFunction), "src/framework/Stream", iLine);
}

} // namespace

// Out-of-line definition: the value is used by reference (gtest, std::min).
const int32_t Stream::s_iCurrentFormatVersion;

Stream::Stream(QByteArray* pBuffer, bool bStoring, int32_t iFormatVersion)
    : m_pBuffer(pBuffer), m_bStoring(bStoring), m_iFormatVersion(iFormatVersion)
{
}

Stream::~Stream() = default;

bool Stream::AtEnd() const
{
    return !m_pBuffer || m_iOffset >= size_t(m_pBuffer->size());
}

void Stream::Write(const void* pData, size_t iBytes)
{
    if (!m_bStoring)
        throw StreamError("varnik::Stream::Write", __LINE__)->Format("Stream: write at offset %1 on a stream opened for reading", qulonglong(m_iOffset));
    if (!m_pBuffer)
        throw StreamError("varnik::Stream::Write", __LINE__)->Format("Stream: write at offset %1 without a buffer", qulonglong(m_iOffset));
    if (iBytes == 0)
        return;
    // Compared against the room left, so that a huge count cannot wrap the sum.
    if (iBytes > size_t(std::numeric_limits<int>::max()) - m_iOffset)
        throw StreamError("varnik::Stream::Write", __LINE__)->Format("Stream: writing %1 bytes at offset %2 passes the 2 GiB limit of a stream", qulonglong(iBytes), qulonglong(m_iOffset));
    const size_t iEnd = m_iOffset + iBytes;
    if (iEnd > size_t(m_pBuffer->size()))
        m_pBuffer->resize(int(iEnd));
    std::memcpy(m_pBuffer->data() + m_iOffset, pData, iBytes);
    m_iOffset = iEnd;
}

void Stream::Read(void* pData, size_t iBytes)
{
    if (m_bStoring)
        throw StreamError("varnik::Stream::Read", __LINE__)->Format("Stream: read at offset %1 on a stream opened for writing", qulonglong(m_iOffset));
    const size_t iSize = m_pBuffer ? size_t(m_pBuffer->size()) : 0;
    const size_t iLeft = m_iOffset < iSize ? iSize - m_iOffset : 0;
    // Compared against what is left, so that a huge count cannot wrap the sum.
    if (iBytes > iLeft)
        throw StreamError("varnik::Stream::Read", __LINE__)->Format("Stream: unexpected end of data at offset %1 (%2 bytes wanted, %3 left)",
                                                                    qulonglong(m_iOffset), qulonglong(iBytes), qulonglong(iLeft));
    if (iBytes == 0)
        return;
    std::memcpy(pData, m_pBuffer->constData() + m_iOffset, iBytes);
    m_iOffset += iBytes;
}

Stream& Stream::operator<<(const QString& s)
{
    const QByteArray aUtf8 = s.toUtf8();
    const uint32_t iLength = uint32_t(aUtf8.size());
    Write(&iLength, sizeof(iLength));
    Write(aUtf8.constData(), iLength);
    return *this;
}

Stream& Stream::operator>>(QString& s)
{
    const size_t iAt = m_iOffset;
    uint32_t iLength = 0;
    Read(&iLength, sizeof(iLength));
    // Check the length against the data before allocating anything for it.
    const size_t iSize = m_pBuffer ? size_t(m_pBuffer->size()) : 0;
    const size_t iLeft = iSize - m_iOffset;
    if (iLength > iLeft)
        throw StreamError("varnik::Stream::operator>>", __LINE__)->Format("Stream: unexpected end of data at offset %1 (string of %2 bytes, %3 left)",
                                                                          qulonglong(iAt), qulonglong(iLength), qulonglong(iLeft));
    s = QString::fromUtf8(m_pBuffer->constData() + m_iOffset, int(iLength));
    m_iOffset += iLength;
    return *this;
}

int32_t Stream::ClassVersion(const ClassDesc* pClass) const
{
    if (!pClass)
        return 0;
    for (const auto& cOverride : m_aOverrides)
        if (cOverride.first == pClass)
            return cOverride.second;
    if (m_bStoring)
        return pClass->Version();
    for (size_t i = 0; i < m_aClassNames.size(); ++i)
        if (m_aClassNames[i] == pClass->Name())
            return m_aClassVersions[i];
    return 0;
}

void Stream::SetClassVersion(const ClassDesc* pClass, int32_t iVersion)
{
    for (auto& cOverride : m_aOverrides)
        if (cOverride.first == pClass) {
            cOverride.second = iVersion;
            return;
        }
    m_aOverrides.emplace_back(pClass, iVersion);
}

void Stream::WriteNodeReference(const Node* pNode)
{
    int32_t iIndex = -1;
    if (pNode) {
        const auto it = std::find(m_aNodes.begin(), m_aNodes.end(), pNode);
        if (it == m_aNodes.end())
            throw StreamError("varnik::Stream::WriteNodeReference", __LINE__)->Format("Stream: node \"%1\" referenced at offset %2 is not part of the stream",
                                                                                      pNode->Name(), qulonglong(m_iOffset));
        iIndex = int32_t(it - m_aNodes.begin());
    }
    *this << iIndex;
}

Node* Stream::ReadNodeReference()
{
    const size_t iAt = m_iOffset;
    int32_t iIndex = -1;
    *this >> iIndex;
    if (iIndex == -1)
        return nullptr;
    if (iIndex < 0 || size_t(iIndex) >= m_aNodes.size())
        throw StreamError("varnik::Stream::ReadNodeReference", __LINE__)->Format("Stream: node reference %1 at offset %2 is outside the node table (%3 nodes)",
                                                                                 iIndex, qulonglong(iAt), qulonglong(m_aNodes.size()));
    return m_aNodes[size_t(iIndex)];
}

void Stream::WriteHeader(const std::vector<const ClassDesc*>& aClasses)
{
    Write(s_aMagic, sizeof(s_aMagic));
    *this << m_iFormatVersion;
    *this << uint32_t(aClasses.size());
    m_aClassNames.clear();
    m_aClassVersions.clear();
    for (const ClassDesc* pClass : aClasses) {
        if (!pClass)
            throw StreamError("varnik::Stream::WriteHeader", __LINE__)->Format("Stream: null class record in the header at offset %1", qulonglong(m_iOffset));
        const int32_t iVersion = ClassVersion(pClass);
        *this << pClass->Name();
        *this << iVersion;
        m_aClassNames.push_back(pClass->Name());
        m_aClassVersions.push_back(iVersion);
    }
}

void Stream::ReadHeader()
{
    char aMagic[sizeof(s_aMagic)];
    Read(aMagic, sizeof(aMagic));
    if (std::memcmp(aMagic, s_aMagic, sizeof(aMagic)) != 0)
        throw StreamError("varnik::Stream::ReadHeader", __LINE__)->Format("Stream: not a scene stream (bad magic at offset %1)", qulonglong(m_iOffset - sizeof(aMagic)));
    const size_t iVersionAt = m_iOffset;
    int32_t iVersion = 0;
    *this >> iVersion;
    if (iVersion <= 0 || iVersion > s_iCurrentFormatVersion)
        throw StreamError("varnik::Stream::ReadHeader", __LINE__)->Format("Stream: unsupported format version %1 at offset %2 (this build reads 1 to %3)",
                                                                          iVersion, qulonglong(iVersionAt), s_iCurrentFormatVersion);
    m_iFormatVersion = iVersion;

    const size_t iCountAt = m_iOffset;
    uint32_t iCount = 0;
    *this >> iCount;
    const size_t iLeft = size_t(m_pBuffer->size()) - m_iOffset;
    if (size_t(iCount) > iLeft / s_iMinClassEntryBytes)
        throw StreamError("varnik::Stream::ReadHeader", __LINE__)->Format("Stream: class count %1 at offset %2 does not fit in the %3 bytes left",
                                                                          iCount, qulonglong(iCountAt), qulonglong(iLeft));
    m_aClassNames.clear();
    m_aClassVersions.clear();
    m_aClassNames.reserve(iCount);
    m_aClassVersions.reserve(iCount);
    for (uint32_t i = 0; i < iCount; ++i) {
        QString sName;
        int32_t iClassVersion = 0;
        *this >> sName >> iClassVersion;
        m_aClassNames.push_back(sName);
        m_aClassVersions.push_back(iClassVersion);
    }
}

QByteArray Stream::WriteScene(const std::vector<Node*>& aNodes, int32_t iFormatVersion)
{
    std::vector<const ClassDesc*> aClasses;
    std::vector<uint32_t> aClassIndex;
    aClassIndex.reserve(aNodes.size());
    for (Node* pNode : aNodes) {
        if (!pNode)
            throw StreamError("varnik::Stream::WriteScene", __LINE__)->Format("Stream: null node in a scene");
        const ClassDesc* pClass = pNode->RuntimeClass();
        auto it = std::find(aClasses.begin(), aClasses.end(), pClass);
        if (it == aClasses.end())
            it = aClasses.insert(aClasses.end(), pClass);
        aClassIndex.push_back(uint32_t(it - aClasses.begin()));
    }
    // Every registered class is listed with its version, not only those of the
    // scene's nodes: a node may write records of objects it owns that are not
    // nodes of the scene (a pool's tile textures), and the reader must see the
    // same versions the writer used.
    for (int i = 0; i < ClassDesc::Count(); ++i)
        if (std::find(aClasses.begin(), aClasses.end(), ClassDesc::At(i)) == aClasses.end())
            aClasses.push_back(ClassDesc::At(i));

    QByteArray aData;
    Stream s(&aData, true, iFormatVersion);
    s.WriteHeader(aClasses);
    s.SetNodeTable(aNodes);
    // The whole table comes before any record so that a record can refer to a
    // node that is written after it.
    s << uint32_t(aNodes.size());
    for (uint32_t iIndex : aClassIndex)
        s << iIndex;
    for (Node* pNode : aNodes) {
        // Each record is preceded by its length, patched in afterwards; a reader
        // then knows where a record ends even when a node reads too little.
        const size_t iLengthAt = s.Offset();
        s << uint32_t(0);
        pNode->Serialize(s);
        const uint32_t iLength = uint32_t(s.Offset() - iLengthAt - 4);
        std::memcpy(aData.data() + iLengthAt, &iLength, sizeof(iLength));
    }
    return aData;
}

std::vector<Node*> Stream::ReadScene(const QByteArray& cData)
{
    QByteArray aData = cData;  // shallow copy: Qt shares the bytes
    Stream s(&aData, false);
    s.ReadHeader();

    const size_t iCountAt = s.Offset();
    uint32_t iCount = 0;
    s >> iCount;
    const size_t iLeft = size_t(aData.size()) - s.Offset();
    if (size_t(iCount) > iLeft / s_iMinNodeBytes)
        throw StreamError("varnik::Stream::ReadScene", __LINE__)->Format("Stream: node count %1 at offset %2 does not fit in the %3 bytes left",
                                                                         iCount, qulonglong(iCountAt), qulonglong(iLeft));

    std::vector<Node*> aNodes;
    aNodes.reserve(iCount);
    try {
        std::vector<const ClassDesc*> aClasses(s.m_aClassNames.size(), nullptr);
        for (uint32_t i = 0; i < iCount; ++i) {
            const size_t iAt = s.Offset();
            uint32_t iClass = 0;
            s >> iClass;
            if (iClass >= aClasses.size())
                throw StreamError("varnik::Stream::ReadScene", __LINE__)->Format("Stream: class index %1 of node %2 at offset %3 is outside the class table (%4 classes)",
                                                                                 iClass, i, qulonglong(iAt), qulonglong(aClasses.size()));
            if (!aClasses[iClass]) {
                aClasses[iClass] = ClassDesc::FindByName(s.m_aClassNames[iClass]);
                if (!aClasses[iClass])
                    throw StreamError("varnik::Stream::ReadScene", __LINE__)->Format("Stream: unknown class \"%1\" of node %2 at offset %3",
                                                                                     s.m_aClassNames[iClass], i, qulonglong(iAt));
            }
            try {
                aNodes.push_back(Kernel::CreateClassInstance(aClasses[iClass]));
            } catch (Error* pError) {
                // A record without an implementation (an interface named in the
                // header): say where, as for every other corrupt stream.
                const QString sReason = pError->Text();
                Error::Discard(pError);
                throw StreamError("varnik::Stream::ReadScene", __LINE__)->Format("Stream: cannot create node %1 of class \"%2\" at offset %3: %4",
                                                                                 i, s.m_aClassNames[iClass], qulonglong(iAt), sReason);
            }
        }
        s.SetNodeTable(aNodes);

        for (uint32_t i = 0; i < iCount; ++i) {
            const size_t iAt = s.Offset();
            uint32_t iLength = 0;
            s >> iLength;
            const size_t iStart = s.Offset();
            const size_t iRest = size_t(aData.size()) - iStart;
            if (iLength > iRest)
                throw StreamError("varnik::Stream::ReadScene", __LINE__)->Format("Stream: unexpected end of data at offset %1 (record of node %2 claims %3 bytes, %4 left)",
                                                                                 qulonglong(iAt), i, iLength, qulonglong(iRest));
            // The node reads from a view that ends with its record, so a node
            // that reads too much fails here instead of eating the next record.
            QByteArray aRecord = QByteArray::fromRawData(aData.constData(), int(iStart + iLength));
            // The tables are lent to the record stream and taken back, not
            // copied: a copy per record would make reading quadratic in the
            // node count. `aNodes` stays the owner for the cleanup below.
            Stream cRecord(&aRecord, false, s.m_iFormatVersion);
            cRecord.m_iOffset = iStart;
            cRecord.m_aClassNames.swap(s.m_aClassNames);
            cRecord.m_aClassVersions.swap(s.m_aClassVersions);
            cRecord.m_aNodes.swap(s.m_aNodes);
            aNodes[i]->Serialize(cRecord);
            cRecord.m_aClassNames.swap(s.m_aClassNames);
            cRecord.m_aClassVersions.swap(s.m_aClassVersions);
            cRecord.m_aNodes.swap(s.m_aNodes);
            if (cRecord.Offset() != iStart + iLength)
                throw StreamError("varnik::Stream::ReadScene", __LINE__)->Format("Stream: node %1 (%2) read %3 of the %4 bytes of its record at offset %5",
                                                                                 i, aNodes[i]->RuntimeClass() ? aNodes[i]->RuntimeClass()->Name() : QString("?"),
                                                                                 qulonglong(cRecord.Offset() - iStart), iLength, qulonglong(iStart));
            s.m_iOffset = iStart + iLength;
        }
        // The last record ends the stream: more bytes mean a node count or a
        // record length that disagrees with the data.
        if (s.m_iOffset != size_t(aData.size()))
            throw StreamError("varnik::Stream::ReadScene", __LINE__)->Format("Stream: %1 bytes of unexpected data at offset %2 after the last of %3 records",
                                                                             qulonglong(size_t(aData.size()) - s.m_iOffset), qulonglong(s.m_iOffset), iCount);
    } catch (...) {
        for (auto it = aNodes.rbegin(); it != aNodes.rend(); ++it)
            delete *it;
        throw;
    }
    return aNodes;
}

bool Stream::SaveSceneFile(const QString& sFile, const std::vector<Node*>& aNodes)
{
    QByteArray aData;
    try {
        aData = WriteScene(aNodes);
    } catch (Error* pError) {
        Kernel::Log(QString("Stream: cannot write scene %1: %2\n").arg(sFile, pError->Text()));
        Error::Discard(pError);
        return false;
    }
    QFile cFile(sFile);
    if (!cFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        Kernel::Log(QString("Stream: cannot open %1 for writing: %2\n").arg(sFile, cFile.errorString()));
        return false;
    }
    if (cFile.write(aData) != aData.size()) {
        Kernel::Log(QString("Stream: cannot write %1: %2\n").arg(sFile, cFile.errorString()));
        return false;
    }
    return true;
}

std::vector<Node*> Stream::LoadSceneFile(const QString& sFile)
{
    QFile cFile(sFile);
    if (!cFile.open(QIODevice::ReadOnly))
        throw StreamError("varnik::Stream::LoadSceneFile", __LINE__)->Format("Stream: cannot open scene file %1: %2", sFile, cFile.errorString());
    const QByteArray aData = cFile.readAll();
    try {
        return ReadScene(aData);
    } catch (Error* pError) {
        // Name the file in front of the offset message.
        pError->Format(sFile + QStringLiteral(": ") + pError->Text());
        throw;
    }
}

} // namespace varnik
