#pragma once
// The version dialog "ﾊﾞｰｼﾞｮﾝ情報": the program's title and version, shown
// modally from a chat window and centred over where the main form was, with
// the state of that window's room (encrypted, the host's key) below them.
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
    // The room's state as the chat window that opens the box words it; "" hides it.
    void SetRoomState(const QString& text);

    QFrame* Panel1;
    QFrame* ProgramIconFrame;
    QLabel* ProgramIcon;
    TchatShadowTitle* ProductName;
    QLabel* Version;
    QLabel* RoomState;
    QPushButton* OKButton;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QPointer<QWidget> mainForm_;
    QPointer<QLabel> mainVersion_;
};
