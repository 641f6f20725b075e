// Texts of a memory pane: sizes, dates, types per model, capacity and gauge, model codes.
#include "device/memoryformat.h"
#include "res/stringtable.h"

#include <QTest>

using namespace tunara::device;
using tunara::res::StrId;

class TestMemoryFormat : public QObject {
    Q_OBJECT
private slots:
    void sizes_data() {
        QTest::addColumn<quint32>("size");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << 0u << "0";
        QTest::newRow("999") << 999u << "999";
        QTest::newRow("1000") << 1000u << "1,000";
        QTest::newRow("1001") << 1001u << "1,001";
        QTest::newRow("999999") << 999999u << "999,999";
        QTest::newRow("1000000") << 1000000u << "1,000,000";
        QTest::newRow("1234567") << 1234567u << "1,234,567";
        QTest::newRow("1000000000") << 1000000000u << "1,000,000,000";
        QTest::newRow("1234567890") << 1234567890u << "1,234,567,890";
        QTest::newRow("int max") << 2147483647u << "2,147,483,647";
        QTest::newRow("top bit set") << 0x80000000u << "2147483648";
        QTest::newRow("all ones") << 0xFFFFFFFFu << "4294967295";
    }
    void sizes() {
        QFETCH(quint32, size);
        QFETCH(QString, text);
        QCOMPARE(sizeText(size), text);
    }

    void dates_data() {
        QTest::addColumn<quint16>("date");
        QTest::addColumn<quint16>("time");
        QTest::addColumn<QString>("text");
        auto d = [](int y, int m, int day) { return quint16(((y - 1980) << 9) | (m << 5) | day); };
        auto t = [](int h, int m, int s) { return quint16((h << 11) | (m << 5) | (s / 2)); };
        QTest::newRow("zero date") << quint16(0) << quint16(0) << "";
        QTest::newRow("zero date with time") << quint16(0) << t(12, 30, 0) << "";
        QTest::newRow("ordinary") << d(2005, 7, 18) << t(13, 45, 58) << "2005-07-18 13:45";
        QTest::newRow("epoch") << d(1980, 1, 1) << t(0, 0, 0) << "1980-01-01 00:00";
        QTest::newRow("last year") << d(2107, 12, 31) << t(23, 59, 58) << "2107-12-31 23:59";
        QTest::newRow("month 13") << quint16((25 << 9) | (13 << 5) | 1) << t(1, 1, 0) << "";
        QTest::newRow("feb 30") << d(2004, 2, 30) << t(1, 1, 0) << "";
        QTest::newRow("feb 29 leap") << d(2004, 2, 29) << t(1, 1, 0) << "2004-02-29 01:01";
        QTest::newRow("hour 24") << d(2004, 3, 1) << quint16(24 << 11) << "";
        QTest::newRow("minute 60") << d(2004, 3, 1) << quint16(60 << 5) << "";
        QTest::newRow("seconds 62") << d(2004, 3, 1) << quint16(31) << "";
    }
    void dates() {
        QFETCH(quint16, date);
        QFETCH(quint16, time);
        QFETCH(QString, text);
        QCOMPARE(dateText(date, time), text);
    }

    void types_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("model");
        QTest::addColumn<int>("text");
        QTest::addColumn<int>("icon");
        const int mp3 = int(StrId::Mp3File), wma = int(StrId::WindowsMedia),
                  voice = int(StrId::VoiceFile), common = int(StrId::CommonFile);
        QTest::newRow("Song.MP3 any") << "Song.MP3" << 0 << mp3 << 1;
        QTest::newRow("Song.MP3 qn70") << "Song.MP3" << int(ModelQn70) << mp3 << 1;
        QTest::newRow("bare mp3") << "mp3" << int(ModelLuma) << mp3 << 1;
        QTest::newRow("two dots") << "a.wav.mp3" << int(ModelQn500) << mp3 << 1;
        QTest::newRow("wma qn520") << "x.wma" << int(ModelQn520) << wma << 2;
        QTest::newRow("wma vela") << "x.WMA" << int(ModelQnVela) << wma << 2;
        QTest::newRow("wma qn500") << "x.wma" << int(ModelQn500) << common << 0;
        QTest::newRow("memo.wav qn520") << "memo.wav" << int(ModelQn520) << voice << 3;
        QTest::newRow("memo.wav vela") << "memo.wav" << int(ModelQnVela) << voice << 3;
        QTest::newRow("memo.wav qn70") << "memo.wav" << int(ModelQn70) << common << 0;
        QTest::newRow("memo.wav unknown") << "memo.wav" << 0 << common << 0;
        QTest::newRow("vrf qn70") << "REC001.VRF" << int(ModelQn70) << voice << 3;
        QTest::newRow("vrf qn520") << "REC001.VRF" << int(ModelQn520) << common << 0;
        QTest::newRow("no extension") << "README" << int(ModelQn520) << common << 0;
        QTest::newRow("trailing dot") << "song." << int(ModelQn520) << common << 0;
        QTest::newRow("hangul name") << QString::fromUtf8("노래.mp3") << 0 << mp3 << 1;
    }
    void types() {
        QFETCH(QString, name);
        QFETCH(int, model);
        QFETCH(int, text);
        QFETCH(int, icon);
        const FileType t = fileTypeOf(name, model);
        QCOMPARE(int(t.text), text);
        QCOMPARE(int(t.icon), icon);
    }

    void capacity_data() {
        QTest::addColumn<quint64>("total");
        QTest::addColumn<quint64>("free");
        QTest::addColumn<QString>("totalText");
        QTest::addColumn<QString>("freeText");
        QTest::newRow("below 1 MiB prints no digits") << 1048575ull << 0ull << "Total :  MB"
                                                      << "Free : 0 Bytes";
        QTest::newRow("zero") << 0ull << 0ull << "Total :  MB"
                              << "Free : 0 Bytes";
        QTest::newRow("free exactly 1 MiB is KB") << 33554432ull << 1048576ull << "Total : 32 MB"
                                                  << "Free : 1024 KB";
        QTest::newRow("free just above 1 MiB") << 33554432ull << 1048577ull << "Total : 32 MB"
                                               << "Free : 1 MB";
        QTest::newRow("free exactly 1024 is Bytes") << 1048576ull << 1024ull << "Total : 1 MB"
                                                    << "Free : 1024 Bytes";
        QTest::newRow("free 1025") << 1048576ull << 1025ull << "Total : 1 MB"
                                   << "Free : 1 KB";
        QTest::newRow("4 GiB - 1") << 0xFFFFFFFFull << 0xFFFFFFFFull << "Total : 4095 MB"
                                   << "Free : 4095 MB";
        QTest::newRow("past 4 GiB") << 8589934592ull << 5368709120ull << "Total : 8192 MB"
                                    << "Free : 5120 MB";
    }
    void capacity() {
        QFETCH(quint64, total);
        QFETCH(quint64, free);
        QFETCH(QString, totalText);
        QFETCH(QString, freeText);
        QCOMPARE(tunara::device::totalText(total), totalText);
        QCOMPARE(tunara::device::freeText(free), freeText);
    }

    void gauge_data() {
        QTest::addColumn<quint64>("total");
        QTest::addColumn<quint64>("used");
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("drawn");
        QTest::addColumn<int>("range");
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("usage");
        QTest::addColumn<QString>("countText");
        QTest::newRow("empty memory")
            << 33554432ull << 0ull << 0 << true << 320 << 0 << "0.0MB Used, Total 32.0MB (0.0%)"
            << "0 File";
        QTest::newRow("one file") << 33554432ull << 8388608ull << 1 << true << 320 << 80
                                  << "8.0MB Used, Total 32.0MB (25.0%)"
                                  << "1 File";
        QTest::newRow("many files") << 33554432ull << 33554432ull << 255 << true << 320 << 320
                                    << "32.0MB Used, Total 32.0MB (100.0%)"
                                    << "255 Files";
        QTest::newRow("KB unit") << 4096ull << 1024ull << 2 << true << 40 << 10
                                 << "1.0KB Used, Total 4.0KB (25.0%)"
                                 << "2 Files";
        QTest::newRow("exactly 1 MiB is KB")
            << 1048576ull << 0ull << 0 << true << 10240 << 0 << "0.0KB Used, Total 1024.0KB (0.0%)"
            << "0 File";
        QTest::newRow("Bytes unit") << 1000ull << 500ull << 1 << true << 10000 << 5000
                                    << "500.0Bytes Used, Total 1000.0Bytes (50.0%)"
                                    << "1 File";
        QTest::newRow("zero total draws nothing") << 0ull << 0ull << 0 << false << 0 << 0 << ""
                                                  << "";
        // A card of 2 GiB and more is drawn: the numbers are 64-bit, not the player's signed
        // 32-bit ones.
        QTest::newRow("2 GiB total is drawn") << 0x80000000ull << 0ull << 0 << true << 20480 << 0
                                              << "0.0MB Used, Total 2048.0MB (0.0%)"
                                              << "0 File";
        QTest::newRow("3 GiB card, a third used")
            << 3221225472ull << 1073741824ull << 3 << true << 30720 << 10240
            << "1024.0MB Used, Total 3072.0MB (33.3%)"
            << "3 Files";
        QTest::newRow("past the 16-bit range the gauge scales")
            << 8589934592ull << 2147483648ull << 1 << true << 40960 << 10240
            << "2048.0MB Used, Total 8192.0MB (25.0%)"
            << "1 File";
    }
    void gauge() {
        QFETCH(quint64, total);
        QFETCH(quint64, used);
        QFETCH(int, count);
        const GaugeTexts g = gaugeTexts(total, used, count);
        QTEST(g.drawn, "drawn");
        QTEST(g.range, "range");
        QTEST(g.position, "position");
        QTEST(g.usage, "usage");
        QTEST(g.count, "countText");
    }

    void models_data() {
        QTest::addColumn<QString>("model");
        QTest::addColumn<int>("previous");
        QTest::addColumn<int>("code");
        QTest::newRow("QN-Vela") << "QN-Vela" << 0 << int(ModelQnVela);
        QTest::newRow("qn-vela lower") << "qn-vela" << 0 << int(ModelQnVela);
        QTest::newRow("QN70") << "QN70" << 0 << int(ModelQn70);
        QTest::newRow("QN7 prefix") << "QN7" << 0 << int(ModelQn70);
        QTest::newRow("QN7 anything") << "qn7XYZ" << 0 << int(ModelQn70);
        QTest::newRow("QN520") << "QN520" << 0 << int(ModelQn520);
        QTest::newRow("QN500") << "QN500" << 0 << int(ModelQn500);
        QTest::newRow("LUMA") << "Luma" << 0 << int(ModelLuma);
        QTest::newRow("QN520 padded as on the wire") << "QN520        " << 0 << int(ModelQn520);
        QTest::newRow("QN-Vela padded") << "QN-Vela      " << 0 << int(ModelQnVela);
        QTest::newRow("LUMA padded") << "LUMA         " << 0 << int(ModelLuma);
        QTest::newRow("leading blank is no match") << " QN520" << 0 << 0;
        QTest::newRow("QN5200 is no QN520") << "QN5200" << 0 << 0;
        QTest::newRow("unknown keeps previous") << "Other" << int(ModelQn520) << int(ModelQn520);
        QTest::newRow("empty keeps previous") << "" << int(ModelLuma) << int(ModelLuma);
    }
    void models() {
        QFETCH(QString, model);
        QFETCH(int, previous);
        QFETCH(int, code);
        QCOMPARE(playerModelFor(model.toUtf8().toStdString(), previous), code);
    }
};

QTEST_MAIN(TestMemoryFormat)
#include "test_memoryformat.moc"
