#pragma once
// The room selection dialog: when the host offers several rooms the user
// picks one to enter. The owner fills SessionListBox in the order the rooms
// were found and reads the selected name after OK.
#include <QDialog>

class QListWidget;
class QPushButton;

class TSessionSelect : public QDialog {
  public:
    explicit TSessionSelect(QWidget* owner = nullptr);

    // The text of the selected entry; empty when nothing is selected.
    QString SelectedName() const;

    void FormShow();

    QListWidget* SessionListBox;
    QPushButton* btn_Join;
    QPushButton* Button1;

  protected:
    void showEvent(QShowEvent* event) override;
    // No close box and no Escape: only the two buttons end the dialog.
    void reject() override {}
    void closeEvent(QCloseEvent* event) override;
};
