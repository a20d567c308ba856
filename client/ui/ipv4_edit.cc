#include "client/ui/ipv4_edit.h"

#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QStringList>

namespace tervane {
namespace {

// One octet: 0 to 255 without a leading zero; four of them joined by dots.
const char kOctet[] = "(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])";

}  // namespace

uint32_t ParseIpv4Octets(const QString& text) {
  const QStringList parts = text.split(QLatin1Char('.'));
  uint32_t address = 0;
  for (int i = 0; i < 4; ++i) {
    uint32_t octet = 0;
    if (i < parts.size()) {
      bool ok = false;
      const uint value = parts[i].toUInt(&ok);
      if (ok && value <= 255) octet = value;
    }
    address = (address << 8) | octet;
  }
  return address;
}

QString Ipv4ToText(uint32_t address) {
  return QStringLiteral("%1.%2.%3.%4")
      .arg(address >> 24)
      .arg((address >> 16) & 0xFF)
      .arg((address >> 8) & 0xFF)
      .arg(address & 0xFF);
}

Ipv4Edit::Ipv4Edit(QWidget* parent) : QLineEdit(parent) {
  const QString octet = QString::fromLatin1(kOctet);
  const QRegularExpression pattern(QStringLiteral("^%1\\.%1\\.%1\\.%1$").arg(octet));
  // Partial input such as "192.168." is accepted while typing (the validator
  // calls it intermediate); anything that cannot become an address is refused.
  setValidator(new QRegularExpressionValidator(pattern, this));
  setMaxLength(15);
  setAlignment(Qt::AlignCenter);
  SetAddress(0);
}

void Ipv4Edit::SetAddress(uint32_t address) { setText(Ipv4ToText(address)); }

uint32_t Ipv4Edit::Address() const { return ParseIpv4Octets(text()); }

bool Ipv4Edit::IsComplete() const { return hasAcceptableInput(); }

}  // namespace tervane
