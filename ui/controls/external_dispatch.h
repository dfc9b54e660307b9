// CExternalDispatch: the application's object that embedded pages reach as their external object.
#pragma once

#include <QObject>
#include <QString>

class CExternalDispatch : public QObject {
  Q_OBJECT
  Q_PROPERTY(QString xxyyzz READ xxyyzz CONSTANT)
 public:
  static constexpr int kDispId = 12345;
  static constexpr int kDispIdUnknown = -1;
  using QObject::QObject;
  QString xxyyzz() const { return QStringLiteral("Wibble"); }
  // Names whose first three characters are those of "xxyyzz" get the one id.
  static int GetIDsOfNames(const QString& name);
};
