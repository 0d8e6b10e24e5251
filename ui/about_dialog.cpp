#include "ui/about_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "ui/desktop.h"

namespace veldar {

CVELDAR2About::CVELDAR2About(QWidget* parent)
    : TemplateDialog(parent, QStringLiteral("Veldar [ﾊﾞｰｼﾞｮﾝ情報]"), 9, 217, 55) {
  // An icon control takes the icon's own size, 32 x 32 pixels.
  auto* icon = new QLabel(client());
  icon->setPixmap(ProgramIcon().pixmap(32, 32));
  icon->setGeometry(units().X(11), units().Y(17), 32, 32);
  Register(0, icon);
  AddLabel(QStringLiteral("バックアップ  Version 2.00"), 40, 10, 119, 8);
  AddLabel(QStringLiteral("Copyright (C) Orvanta"), 40, 21, 119, 8);
  AddLabel(QStringLiteral("Qt 6 (LGPLv3) を使用しています。"), 40, 33, 119, 8);
  QPushButton* ok = AddButton(1, QStringLiteral("OK"), 178, 20, 32, 14, /*isDefault=*/true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace veldar
