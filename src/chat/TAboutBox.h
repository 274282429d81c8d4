#pragma once
// The version dialog "ﾊﾞｰｼﾞｮﾝ情報": the program's title and version, shown
// modally from a chat window and centred over where the main form was.
#include <QDialog>
#include <QPointer>

class QFrame;
class QLabel;
class QPushButton;
class TchatShadowTitle;

class TAboutBox : public QDialog {
  public:
    // `mainForm` and its version label `mainVersion` are read on every show.
    TAboutBox(QWidget* mainForm, QLabel* mainVersion, QWidget* parent = nullptr);

    void FormShow();

    QFrame* Panel1;
    QFrame* ProgramIconFrame;
    QLabel* ProgramIcon;
    TchatShadowTitle* ProductName;
    QLabel* Version;
    QPushButton* OKButton;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QPointer<QWidget> mainForm_;
    QPointer<QLabel> mainVersion_;
};
