// The one rule for a device's ID: the fourth and fifth characters of a reply
// to "DN" that is "CFG" and two digits, nothing for any other reply; and the
// device name a product string holds. The panel, zentactl and the loader all
// take the ID through deviceIdOf, so this table is theirs too.
#include "zenta/lang/transfer.hpp"

#include <QtTest>

using namespace zenta::lang;

class DeviceNameTest : public QObject {
    Q_OBJECT
private slots:
    void idOfAReplyToDn_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("id");  // "-": no ID
        QTest::newRow("a device name") << QByteArray("CFG07") << "07";
        QTest::newRow("the lowest") << QByteArray("CFG00") << "00";
        QTest::newRow("the highest") << QByteArray("CFG99") << "99";
        QTest::newRow("nothing") << QByteArray("") << "-";
        QTest::newRow("one character") << QByteArray("C") << "-";
        QTest::newRow("the stem alone") << QByteArray("CFG") << "-";
        QTest::newRow("one digit") << QByteArray("CFG0") << "-";
        QTest::newRow("three digits") << QByteArray("CFG123") << "-";
        QTest::newRow("a blank after it") << QByteArray("CFG07 ") << "-";
        QTest::newRow("a blank before it") << QByteArray(" CFG07") << "-";
        QTest::newRow("a line break after it") << QByteArray("CFG07\r\n") << "-";
        QTest::newRow("letters") << QByteArray("CFGAB") << "-";
        QTest::newRow("a letter for a digit") << QByteArray("CFG0x") << "-";
        QTest::newRow("lower case") << QByteArray("cfg07") << "-";
        QTest::newRow("another stem") << QByteArray("XYZ07") << "-";
        QTest::newRow("an error reply") << QByteArray("?UNKNOWN") << "-";
        QTest::newRow("two digits alone") << QByteArray("07") << "-";
        QTest::newRow("a zero byte inside") << QByteArray("CFG\0007", 6) << "-";
        QTest::newRow("a Latin-1 letter") << QByteArray("CFG0\xe9") << "-";
        QTest::newRow("a digit beyond ASCII") << QByteArray("CFG\xd9\xa0\xd9\xa1") << "-";
    }
    void idOfAReplyToDn()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, id);
        const std::optional<std::string> got = deviceIdOf(std::string_view(reply.constData(), reply.size()));
        QCOMPARE(got ? QString::fromStdString(*got) : QString("-"), id);
    }

    void nameInAProductString_data()
    {
        QTest::addColumn<QByteArray>("product");
        QTest::addColumn<QString>("name");  // "-": none
        QTest::newRow("the name alone") << QByteArray("CFG07") << "CFG07";
        QTest::newRow("among other words") << QByteArray("ZENTA KDR CFG12 unit") << "CFG12";
        QTest::newRow("lower case") << QByteArray("zenta cfg05") << "CFG05";
        QTest::newRow("the first of two") << QByteArray("CFG03/CFG04") << "CFG03";
        QTest::newRow("a stem without digits first") << QByteArray("CFG-CFG44") << "CFG44";
        QTest::newRow("three digits") << QByteArray("CFG123") << "CFG12";
        QTest::newRow("one digit") << QByteArray("CFG1") << "-";
        QTest::newRow("no stem") << QByteArray("ZENTA-KDR-V3") << "-";
        QTest::newRow("empty") << QByteArray("") << "-";
    }
    void nameInAProductString()
    {
        QFETCH(QByteArray, product);
        QFETCH(QString, name);
        const std::optional<std::string> got = deviceNameIn(std::string_view(product.constData(), product.size()));
        QCOMPARE(got ? QString::fromStdString(*got) : QString("-"), name);
    }

    // What the loader counts before it opens anything: product strings that
    // name the ID, in any of the forms a name is found in.
    void productsNamingAnId()
    {
        const std::vector<std::string> listed{"CFG07", "Zenta cfg07", "CFG01", "CFG070", "unit 7", "XCFG07"};
        QCOMPARE(productsNaming(listed, "07"), std::size_t(4));
        QCOMPARE(productsNaming(listed, "01"), std::size_t(1));
        QCOMPARE(productsNaming(listed, "02"), std::size_t(0));
        QCOMPARE(productsNaming({}, "07"), std::size_t(0));
    }
};

QTEST_GUILESS_MAIN(DeviceNameTest)
#include "tst_lang_device_name.moc"
