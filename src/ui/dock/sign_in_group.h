#pragma once

#include <QGroupBox>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;

namespace quillmarch {

struct PortalResult;

// "Quillmarch account (optional)": e-mail and password, and the
// authenticator code when the account asks for one. Shown while signed out.
class SignInGroup : public QGroupBox {
	Q_OBJECT

public:
	explicit SignInGroup(QWidget *parent = nullptr);

private:
	void signIn();
	void onSignInResult(const PortalResult &result);
	void showMessage(const QString &text);
	void openPortalPage(const QString &link);

	QLineEdit *m_email;
	QLineEdit *m_password;
	QLineEdit *m_code;
	QPushButton *m_signIn;
	QLabel *m_message;
	// Set while the portal waits for the code of this sign-in.
	QString m_challengeId;
};

// The signed-in account's address and the way out. Shown while signed in.
class AccountRow : public QWidget {
	Q_OBJECT

public:
	explicit AccountRow(QWidget *parent = nullptr);

	void refresh();

private:
	QLabel *m_account;
};

} // namespace quillmarch
