#pragma once

#include <QDialog>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <functional>

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace quillmarch {

struct PortalResult;

// Acts on an account device through the portal, with no local connection:
// its status, its scoreboard controller, a firmware update check and a
// restart. The dock opens one per chosen device, modeless; the window
// deletes itself when closed:
//
//   auto *dialog = new ManageDialog(deviceId, this);
//   dialog->show();
//
// The portal client is the application's; without a ready application
// every action fails with a message and sends nothing. An answer that
// arrives after the window is gone is dropped.
class ManageDialog : public QDialog {
	Q_OBJECT

public:
	explicit ManageDialog(const QString &deviceId,
			      QWidget *parent = nullptr);

	QString deviceId() const { return m_deviceId; }

	// One line of status; errors in red.
	void setMessage(const QString &text, bool isError = false);

	using SuccessCallback = std::function<void(const PortalResult &)>;
	// Sends one device command through the account, with the four
	// action buttons disabled until the answer arrives.
	void run(const QString &command, const QJsonObject &args,
		 const QString &busyText, SuccessCallback onSuccess);

private:
	using Request =
		std::function<void(std::function<void(const PortalResult &)>)>;
	void fillForManufacturer();
	void start(const QString &busyText, const Request &request,
		   SuccessCallback onSuccess);
	void setBusy(bool busy);

	void checkStatus();
	void changeScoreboard();
	void checkUpdate();
	void restartDevice();

	QString m_deviceId;
	QLabel *m_messageLabel = nullptr;
	QPlainTextEdit *m_output = nullptr;
	QComboBox *m_manufacturerBox = nullptr;
	QComboBox *m_modelBox = nullptr;
	QComboBox *m_sportBox = nullptr;
	QComboBox *m_inputBox = nullptr;
	QList<QPushButton *> m_actionButtons;
};

} // namespace quillmarch
