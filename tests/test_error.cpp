// varnik::Error texts and the host log, memory blocks and stores.
#include "VarnikTest.h"

#include <limits>
#include <QFile>

using namespace varnik;
using varnik::test::LogRecorder;

TEST(ErrorTest, FormatFillsMarkersInOnePass)
{
    Error e(QString(), 4, "VarnikTexture::CopyTo", "src/plugins/Texture/Texture", 42);
    EXPECT_EQ(e.Format("size %1 x %2 of \"%3\"", 512, 256u, QString("layer"))->Text(),
              QString("size 512 x 256 of \"layer\""));
    // Markers out of order, repeated, and an argument that contains a marker itself.
    EXPECT_EQ(e.Format("%2/%1/%2", "a", "b")->Text(), QString("b/a/b"));
    EXPECT_EQ(e.Format("file %1 failed: %2", "C:/50%2_%1.png", "denied")->Text(),
              QString("file C:/50%2_%1.png failed: denied"));
    // Lowest markers take the first arguments, as QString::arg does; extra markers stay.
    EXPECT_EQ(e.Format("%3 then %7 then %9", 1.5, 'x')->Text(), QString("1.5 then x then %9"));
    EXPECT_EQ(e.Format("%10 and %2", "a", "b")->Text(), QString("b and a"));
    EXPECT_EQ(e.Format("100% sure, %1", true)->Text(), QString("100% sure, 1"));
    EXPECT_EQ(e.Format("x"), &e);  // the error itself, ready to throw
}

TEST(ErrorTest, DescribeLeavesOutEmptyPartsAndReportLogsIt)
{
    Error cError(QString(), 4, "VarnikTexture::Create", "src/plugins/Texture/Texture", 7);
    EXPECT_EQ(cError.Format("bad size %1", -3)->Describe(),
              QString("VarnikTexture::Create: bad size -3 (file src/plugins/Texture/Texture, line 7)"));
    EXPECT_EQ(Error("Unknown image format").Describe(), QString("Unknown image format"));
    EXPECT_EQ(Error("t", 1, "F").Describe(), QString("F: t"));
    EXPECT_EQ(Error("t", 1, QString(), "file.cpp").Describe(), QString("t (file file.cpp)"));
    EXPECT_EQ(Error("", 1, "F", QString(), 9).Describe(), QString("F (line 9)"));
    LogRecorder cLog;
    Error("went wrong", 4, "Pool::Save", "src/x", 3).Report();
    ASSERT_EQ(cLog.Lines().size(), 1);
    EXPECT_EQ(cLog.Lines()[0], QString("Pool::Save: went wrong (file src/x, line 3)\n"));
}

TEST(ErrorTest, OnlyTheStaticErrorIsStatic)
{
    EXPECT_TRUE(Error::s_cBadAlloc.IsStatic());
    EXPECT_FALSE(Error::s_cBadAlloc.Text().isEmpty());
    Error* pHeap = new Error("x");
    EXPECT_FALSE(pHeap->IsStatic());
    EXPECT_FALSE(Error(Error::s_cBadAlloc).IsStatic());  // a copy belongs to its holder
    Error::Discard(pHeap);
    Error::Discard(&Error::s_cBadAlloc);  // must not delete the static one
    Error::Discard(nullptr);
    EXPECT_TRUE(Error::s_cBadAlloc.IsStatic());
    // A thrown error can be caught by pointer and described.
    const QString s = varnik::test::ErrorTextOf([] {
        throw (new Error(QString(), 4, "F", "f", __LINE__))->Format("%1 failed", "copy");
    });
    EXPECT_EQ(s, QString("copy failed"));
}

class StoreTest : public ::testing::Test
{
protected:
    void TearDown() override { Block::SetLimit(0); }
};

TEST_F(StoreTest, BlocksAreSummedPerName)
{
    const size_t iTotal = Block::TotalBytes();
    {
        Block a("test: pixels", 100), b("test: pixels", 50), c("test: other", 7);
        EXPECT_EQ(Block::BytesUnder("test: pixels"), 150u);
        EXPECT_EQ(Block::BytesUnder("test: other"), 7u);
        EXPECT_EQ(Block::TotalBytes(), iTotal + 157);
        a.Resize(10);
        EXPECT_EQ(Block::BytesUnder("test: pixels"), 60u);
    }
    EXPECT_EQ(Block::BytesUnder("test: pixels"), 0u);
    EXPECT_EQ(Block::TotalBytes(), iTotal);
}

TEST_F(StoreTest, StoresAccountTheirElementsAndCopies)
{
    Store<float> aWeights;  // named "unknown"
    const size_t iUnknown = Block::BytesUnder("unknown");
    aWeights.SetCount(4);
    aWeights[3] = 0.5f;
    EXPECT_EQ(aWeights[0], 0.f);
    EXPECT_EQ(Block::BytesUnder("unknown"), iUnknown + 16);
    {
        Store<float> aCopy(aWeights);
        EXPECT_EQ(aCopy.Count(), 4u);
        EXPECT_EQ(aCopy[3], 0.5f);
        EXPECT_EQ(Block::BytesUnder("unknown"), iUnknown + 32);
        aCopy = Store<float>("Pixel Data", 1);  // assignment keeps the target's name
        EXPECT_EQ(Block::BytesUnder("unknown"), iUnknown + 20);
        EXPECT_EQ(Block::BytesUnder("Pixel Data"), 0u);
    }
    EXPECT_EQ(Block::BytesUnder("unknown"), iUnknown + 16);
}

TEST_F(StoreTest, LimitRefusesWithTheStaticError)
{
    Store<double> aData("test: limited", 8);
    Block::SetLimit(Block::TotalBytes() + 100);
    try {
        aData.SetCount(1000);
        FAIL() << "no error thrown";
    } catch (Error* pError) {
        EXPECT_EQ(pError, &Error::s_cBadAlloc);
        EXPECT_TRUE(pError->IsStatic());
        Error::Discard(pError);
    }
    // Nothing changed on refusal.
    EXPECT_EQ(aData.Count(), 8u);
    EXPECT_EQ(Block::BytesUnder("test: limited"), 64u);
    aData.SetCount(20);  // growing within the limit
    // A new block over the limit is refused at construction and leaves no trace.
    try {
        Block cBig("test: too big", 1000);
        FAIL() << "no error thrown";
    } catch (Error* pError) {
        EXPECT_EQ(pError, &Error::s_cBadAlloc);
    }
    EXPECT_EQ(Block::BytesUnder("test: too big"), 0u);

    // A count whose bytes pass what memory can address is refused the same way,
    // with the accounting left as it was.
    Block::SetLimit(0);
    for (const size_t iCount : { std::numeric_limits<size_t>::max() / 2, std::numeric_limits<size_t>::max() / 4 + 1 }) {
        try {
            aData.SetCount(iCount);
            FAIL() << "no error thrown for " << iCount;
        } catch (Error* pError) {
            EXPECT_EQ(pError, &Error::s_cBadAlloc);
        }
        EXPECT_EQ(aData.Count(), 20u);
        EXPECT_EQ(Block::BytesUnder("test: limited"), 160u);
    }
}

TEST_F(StoreTest, LogAllListsLargestNamesFirst)
{
    Block a("test: small", 10), b("test: large", 100000000), c("test: middle", 5000000);
    LogRecorder cLog;
    Block::LogAll(0.01, false);
    const QString s = cLog.Text();
    EXPECT_TRUE(s.contains("test: large: 100000000 bytes")) << s.toStdString();
    EXPECT_TRUE(s.contains("test: middle: 5000000 bytes"));
    EXPECT_FALSE(s.contains("test: small"));
    EXPECT_LT(s.indexOf("test: large"), s.indexOf("test: middle"));
    cLog.Clear();
    Block::LogAll(0.01, true);
    EXPECT_TRUE(cLog.Contains("test: small: 10 bytes"));
}
