#pragma once
#include <cstdint>
#include <type_traits>
#include <vector>
#include <QByteArray>
#include <QString>

namespace varnik {

class ClassDesc;
class Node;

/// A scene stream: a binary file (or byte array) holding a header and node
/// records.
///
/// Layout, all integers little-endian:
///   header: magic "VRNKSCN1" (8 bytes), format version (int32), class count
///   (uint32), then per class: name (string), class version (int32);
///   node table: node count (uint32), then the class index (uint32) of every
///   node, so that all nodes exist before any record is read and a record may
///   refer to a node written after it;
///   records: per node, the record's byte count (uint32), then the record as the
///   node's `Serialize` writes it. A node that reads more or less than its
///   record is an error naming the node.
/// Strings are a uint32 byte count followed by that many UTF-8 bytes. Node
/// references are int32 indices into the node table, -1 for null.
///
/// Reading never runs past the end: a short or corrupt stream throws a
/// `varnik::Error` pointer whose message names the byte offset.
class Stream
{
public:
    static const int32_t s_iCurrentFormatVersion = 362;

    /// A stream writing into or reading from `pBuffer` (not owned).
    Stream(QByteArray* pBuffer, bool bStoring, int32_t iFormatVersion = s_iCurrentFormatVersion);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    /// Writes a whole scene: header for the classes of `aNodes`, then each node's
    /// record. Node references inside records resolve to indices into `aNodes`.
    static QByteArray WriteScene(const std::vector<Node*>& aNodes,
                                 int32_t iFormatVersion = s_iCurrentFormatVersion);
    /// Reads a whole scene: creates each node through the class registry by its
    /// class name and lets it read its record. The caller owns the nodes.
    static std::vector<Node*> ReadScene(const QByteArray& cData);
    static bool SaveSceneFile(const QString& sFile, const std::vector<Node*>& aNodes);
    static std::vector<Node*> LoadSceneFile(const QString& sFile);

    bool IsStoring() const { return m_bStoring; }
    bool IsLoading() const { return !m_bStoring; }
    int32_t FormatVersion() const { return m_iFormatVersion; }
    /// True when the stream's format version is older than `iVersion`.
    bool IsOlderThan(int32_t iVersion) const { return m_iFormatVersion < iVersion; }
    /// True when the stream's format version includes `iVersion`.
    bool IsAtLeast(int32_t iVersion) const { return m_iFormatVersion >= iVersion; }
    /// Version of a class in this stream: from the header when reading, the
    /// record's own version when writing; 0 for a class the header lacks.
    int32_t ClassVersion(const ClassDesc* pClass) const;
    /// Overrides the version reported for a class (tests of old layouts).
    void SetClassVersion(const ClassDesc* pClass, int32_t iVersion);

    /// Raw bytes.
    void Write(const void* pData, size_t iBytes);
    void Read(void* pData, size_t iBytes);
    /// Byte offset of the next read or write.
    size_t Offset() const { return m_iOffset; }
    bool AtEnd() const;

    template <typename T> Stream& operator<<(const T& v) { static_assert(std::is_arithmetic<T>::value, "scalar"); Write(&v, sizeof(T)); return *this; }
    template <typename T> Stream& operator>>(T& v) { static_assert(std::is_arithmetic<T>::value, "scalar"); Read(&v, sizeof(T)); return *this; }
    Stream& operator<<(const QString& s);
    Stream& operator>>(QString& s);

    /// Node references, as indices into the node table.
    void WriteNodeReference(const Node* pNode);
    Node* ReadNodeReference();

    /// Header and node table handling used by WriteScene/ReadScene.
    void WriteHeader(const std::vector<const ClassDesc*>& aClasses);
    void ReadHeader();
    void SetNodeTable(const std::vector<Node*>& aNodes) { m_aNodes = aNodes; }
    const std::vector<Node*>& NodeTable() const { return m_aNodes; }
    /// Class names read from the header, in order.
    const std::vector<QString>& HeaderClassNames() const { return m_aClassNames; }

private:
    QByteArray* m_pBuffer;                 ///< the bytes (not owned)
    bool m_bStoring;                       ///< writing (true) or reading
    int32_t m_iFormatVersion;              ///< format version of the stream
    size_t m_iOffset = 0;                  ///< next byte
    std::vector<QString> m_aClassNames;    ///< header class table
    std::vector<int32_t> m_aClassVersions; ///< versions, parallel to m_aClassNames
    std::vector<std::pair<const ClassDesc*, int32_t>> m_aOverrides; ///< SetClassVersion
    std::vector<Node*> m_aNodes;           ///< node table for references
};

} // namespace varnik
