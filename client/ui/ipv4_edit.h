// The server address entry (control 1014): a line edit that takes at most
// four dotted decimal octets of 0 to 255 and nothing else. The address is
// exchanged as an unsigned 32-bit value in host byte order, first octet in
// the high byte, like the settings keep it.
#ifndef TERVANE_CLIENT_UI_IPV4_EDIT_H_
#define TERVANE_CLIENT_UI_IPV4_EDIT_H_

#include <QLineEdit>
#include <QString>
#include <cstdint>

namespace tervane {

// Blank or missing octets count as 0 ("10.1" is 10.1.0.0), as an address
// control reports a partly filled entry.
uint32_t ParseIpv4Octets(const QString& text);
QString Ipv4ToText(uint32_t address);

class Ipv4Edit : public QLineEdit {
  Q_OBJECT

 public:
  explicit Ipv4Edit(QWidget* parent = nullptr);

  void SetAddress(uint32_t address);
  uint32_t Address() const;
  // True when all four octets are filled in.
  bool IsComplete() const;
};

}  // namespace tervane

#endif  // TERVANE_CLIENT_UI_IPV4_EDIT_H_
