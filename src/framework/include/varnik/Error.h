#pragma once
#include <QString>
#include <QStringList>

namespace varnik {

/// The SDK's error, thrown by pointer: `throw (new Error(...))->Format(...)`.
/// Whoever catches it owns it and deletes it, except `s_cBadAlloc`, which is
/// static and must not be deleted (`IsStatic()` tells).
class Error
{
public:
    /// `sText` is the message (often empty, filled later by `Format`); `iCode`
    /// a category (the module uses 4); `sFunction`, `sFile`, `iLine` say where.
    explicit Error(const QString& sText = QString(), int iCode = 0, const QString& sFunction = QString(),
                   const QString& sFile = QString(), unsigned int iLine = 0);
    /// Copies everything but the static mark: a copy belongs to its holder.
    Error(const Error& o);
    Error& operator=(const Error& o);
    virtual ~Error() = default;

    /// Sets the message to `sFormat` with %1, %2, ... replaced by the arguments
    /// (each made text as QString::arg makes it) and returns this error, ready
    /// to throw. As with QString::arg, the lowest-numbered markers take the
    /// first arguments; all are replaced in one pass, so an argument that
    /// itself contains "%2" (a file name) is kept as it is.
    Error* Format(const QString& sFormat);
    template <typename... Args>
    Error* Format(const QString& sFormat, const Args&... aArgs)
    {
        return FormatArgs(sFormat, QStringList{ QStringLiteral("%1").arg(aArgs)... });
    }

    const QString& Text() const { return m_sText; }
    int Code() const { return m_iCode; }
    const QString& Function() const { return m_sFunction; }
    const QString& File() const { return m_sFile; }
    unsigned int Line() const { return m_iLine; }
    /// One line for logs: "<function>: <text> (file <file>, line <line>)", parts
    /// left out when empty.
    QString Describe() const;
    /// Writes `Describe()` and a newline to the host log.
    void Report() const;
    /// True for the SDK's static errors, which callers must not delete.
    bool IsStatic() const { return m_bStatic; }
    /// Deletes `pError` unless it is static. Convenience for catch blocks.
    static void Discard(Error* pError);

    /// Thrown when memory accounting refuses a block or an allocation fails.
    static Error s_cBadAlloc;

private:
    /// Fills the markers of `sFormat` with `aArgs` in one pass; see Format.
    Error* FormatArgs(const QString& sFormat, const QStringList& aArgs);

    QString m_sText;          ///< the message
    int m_iCode;              ///< category; 4 for the module's errors
    QString m_sFunction;      ///< qualified operation name, may be empty
    QString m_sFile;          ///< source file, may be empty
    unsigned int m_iLine;     ///< source line, 0 when unknown
    bool m_bStatic = false;   ///< set for s_cBadAlloc
};

} // namespace varnik
