// CExternalDispatch: the external object of embedded pages.
#include "ui/controls/external_dispatch.h"

int CExternalDispatch::GetIDsOfNames(const QString& name) {
  // Width-insensitive, as full-width letters compare equal to their half-width forms.
  const QString folded = name.normalized(QString::NormalizationForm_KC);
  return folded.left(3) == QLatin1String("xxy") ? kDispId : kDispIdUnknown;
}
