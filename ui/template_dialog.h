#pragma once
// TemplateDialog: the common ground of the program's dialogs. Each is built
// from a dialog template: a caption, a font, a client size and controls at
// positions in dialog units, each control known by its template id.
//
// Like the framework's dialogs, a dialog initialises itself (`OnInitDialog`)
// once, just before it is first shown, and moves values between its fields
// and its controls with `UpdateData`.

#include <QDialog>
#include <QMap>
#include <memory>

#include "ui/dialog_units.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QMenuBar;
class QPushButton;

namespace veldar {

class TemplateDialog : public QDialog {
 public:
  // The control with template id `id`; nullptr for an id the dialog lacks.
  QWidget* GetDlgItem(int id) const;
  // Shows the dialog modally; returns QDialog::Accepted or Rejected.
  int DoModal() { return exec(); }

  void setVisible(bool visible) override;

 protected:
  // A dialog with `caption`, the dialog font at `points` points and a client
  // area of `width` x `height` dialog units. With `menuBar`, the menu stands
  // above the client area, as a menu of a dialog template does.
  TemplateDialog(QWidget* parent, const QString& caption, int points, int width, int height,
                 QMenuBar* menuBar = nullptr);

  // Runs once, before the dialog is first shown. Returns true.
  virtual bool OnInitDialog() { return true; }

  const DialogUnits& units() const { return units_; }
  // The widget the template's controls sit in.
  QWidget* client() const { return client_; }

  // Controls at template positions, in template order (which is the tab
  // order). `id` 0 is a control without an id.
  QPushButton* AddButton(int id, const QString& text, int x, int y, int w, int h, bool isDefault = false);
  QLineEdit* AddEdit(int id, int x, int y, int w, int h);
  // A static text or a check box is given at least the width its text
  // needs: the templates were laid out for a narrower Japanese font, and such
  // a control has room to its right. Where even that room is too little, the
  // client area widens so that no text is cut.
  QCheckBox* AddCheck(int id, const QString& text, int x, int y, int w, int h);
  QLabel* AddLabel(const QString& text, int x, int y, int w, int h, Qt::Alignment alignment = Qt::AlignLeft);
  void Register(int id, QWidget* control);

 private:
  void FitClient(const QRect& rect);

  DialogUnits units_;
  QWidget* client_;
  QMap<int, QWidget*> controls_;
  bool initialised_ = false;
};

}  // namespace veldar
