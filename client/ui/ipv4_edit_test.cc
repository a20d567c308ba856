#include "client/ui/ipv4_edit.h"

#include <QTest>
#include <QValidator>

#include "testing/ui_test_main.h"

namespace tervane {

class Ipv4EditTest : public QObject {
  Q_OBJECT

 private slots:
  // Host order both ways; blank octets count as 0, as a partly filled
  // address control reports. The edit takes four octets, typed or set.
  void formatsParsesAndTakesFourOctets() {
    QCOMPARE(Ipv4ToText(0xC0A80114u), QStringLiteral("192.168.1.20"));
    QCOMPARE(Ipv4ToText(0xFFFFFFFFu), QStringLiteral("255.255.255.255"));
    QCOMPARE(ParseIpv4Octets(QStringLiteral("192.168.1.20")), 0xC0A80114u);
    QCOMPARE(ParseIpv4Octets(QStringLiteral("10..3.")), 0x0A000300u);
    QCOMPARE(ParseIpv4Octets(QString()), 0u);
    Ipv4Edit edit;
    const struct {
      const char* text;
      QValidator::State state;
    } cases[] = {
        {"192.168.1.20", QValidator::Acceptable}, {"0.0.0.0", QValidator::Acceptable},
        {"192.168.1.", QValidator::Intermediate}, {"192.168", QValidator::Intermediate},
        {"256.1.1.1", QValidator::Invalid},       {"1.2.3.4.5", QValidator::Invalid},
        {"a.b.c.d", QValidator::Invalid},         {"01.2.3.4", QValidator::Invalid},
        {"1.2.3.4 ", QValidator::Invalid},
    };
    for (const auto& c : cases) {
      QString text = QString::fromLatin1(c.text);
      int pos = static_cast<int>(text.size());
      QCOMPARE(edit.validator()->validate(text, pos), c.state);
    }
    edit.clear();
    QTest::keyClicks(&edit, QStringLiteral("10.0.x0.7"));
    QCOMPARE(edit.text(), QStringLiteral("10.0.0.7"));
    QVERIFY(edit.IsComplete());
    QCOMPARE(edit.Address(), 0x0A000007u);
    edit.clear();
    QTest::keyClicks(&edit, QStringLiteral("300"));  // the last 0 would make 300
    QCOMPARE(edit.text(), QStringLiteral("30"));
    QVERIFY(!edit.IsComplete());
    edit.SetAddress(0x7F000001u);
    QCOMPARE(edit.text(), QStringLiteral("127.0.0.1"));
  }
};

TERVANE_UI_TEST(Ipv4EditTest);

}  // namespace tervane

#include "ipv4_edit_test.moc"
