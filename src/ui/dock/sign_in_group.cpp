#include "sign_in_group.h"

#include "app.h"
#include "dock_style.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace quillmarch {

SignInGroup::SignInGroup(QWidget *parent) : QGroupBox(parent)
{
	setTitle(tr("Quillmarch account (optional)"));
	auto *layout = new QVBoxLayout(this);
	layout->addWidget(dockstyle::hintLabel(
		tr("Sign in to see your account's devices and graphics. Not needed to set up or manage a device, or to show scores from one connected to this computer."),
		this));

	m_email = new QLineEdit(this);
	m_email->setPlaceholderText(tr("Email"));
	layout->addWidget(m_email);

	m_password = new QLineEdit(this);
	m_password->setPlaceholderText(tr("Password"));
	m_password->setEchoMode(QLineEdit::Password);
	layout->addWidget(m_password);

	m_code = new QLineEdit(this);
	m_code->setPlaceholderText(
		tr("6-digit code from your authenticator app"));
	m_code->setMaxLength(12);
	m_code->hide();
	layout->addWidget(m_code);

	m_signIn = new QPushButton(tr("Sign in"), this);
	m_signIn->setDefault(true);
	layout->addWidget(m_signIn);

	m_message = new QLabel(this);
	m_message->setWordWrap(true);
	m_message->setTextFormat(Qt::PlainText); // the portal's words, as sent
	m_message->hide();
	layout->addWidget(m_message);

	auto *links = new QLabel(this);
	links->setTextFormat(Qt::RichText);
	links->setText(QStringLiteral("<a href=\"signup\">%1</a>"
				      "&nbsp;\u00b7&nbsp;"
				      "<a href=\"reset\">%2</a>")
			       .arg(tr("Create an account").toHtmlEscaped(),
				    tr("Forgot password?").toHtmlEscaped()));
	layout->addWidget(links);

	connect(m_signIn, &QPushButton::clicked, this, &SignInGroup::signIn);
	connect(m_password, &QLineEdit::returnPressed, this,
		&SignInGroup::signIn);
	connect(m_code, &QLineEdit::returnPressed, this, &SignInGroup::signIn);
	connect(links, &QLabel::linkActivated, this,
		&SignInGroup::openPortalPage);
}

void SignInGroup::signIn()
{
	App *app = App::get();
	// Return in a field still works while "Sign in" is disabled; one
	// request at a time.
	if (!app || !m_signIn->isEnabled())
		return;
	m_message->setStyleSheet(QString());
	m_signIn->setEnabled(false);

	QPointer<SignInGroup> self(this);
	auto done = [self](const PortalResult &result) {
		if (self)
			self->onSignInResult(result);
	};
	if (!m_challengeId.isEmpty() && !m_code->isHidden())
		app->portal().signInWithCode(m_challengeId, m_code->text(),
					     done);
	else
		app->portal().signIn(m_email->text(), m_password->text(), done);
}

void SignInGroup::onSignInResult(const PortalResult &result)
{
	m_signIn->setEnabled(true);
	if (!result.ok) {
		// Only a mistyped code leaves the challenge usable. One that
		// expired or ran out of tries would refuse every code from now
		// on, so the next press starts over with e-mail and password.
		if (!m_challengeId.isEmpty() &&
		    result.code != QLatin1String("invalid_totp_code")) {
			m_challengeId.clear();
			m_code->clear();
			m_code->hide();
		}
		m_message->setStyleSheet(QLatin1String(dockstyle::kErrorText));
		showMessage(result.message);
		return;
	}
	if (result.body.value(QLatin1String("totp_required")).toBool()) {
		m_challengeId = result.body.value(QLatin1String("challenge_id"))
					.toString();
		m_code->show();
		m_code->setFocus();
		showMessage(tr("Enter the code from your authenticator app."));
		return;
	}
	m_password->clear();
	m_code->clear();
	m_code->hide();
	m_challengeId.clear();
	showMessage(QString());
}

void SignInGroup::showMessage(const QString &text)
{
	// An empty message takes no room.
	m_message->setText(text);
	m_message->setVisible(!text.isEmpty());
}

void SignInGroup::openPortalPage(const QString &link)
{
	App *app = App::get();
	if (!app ||
	    (link != QLatin1String("signup") && link != QLatin1String("reset")))
		return;
	QDesktopServices::openUrl(QUrl(app->portal().baseUrl() +
				       QStringLiteral("/%1.html").arg(link)));
}

AccountRow::AccountRow(QWidget *parent) : QWidget(parent)
{
	auto *layout = new QHBoxLayout(this);
	layout->setContentsMargins(0, 0, 0, 0);
	m_account = new QLabel(this);
	m_account->setTextFormat(Qt::RichText);
	m_account->setTextInteractionFlags(Qt::TextSelectableByMouse);
	layout->addWidget(m_account, 1);

	auto *signOut = new QPushButton(tr("Sign out"), this);
	signOut->setFlat(true);
	layout->addWidget(signOut);
	connect(signOut, &QPushButton::clicked, this, [] {
		if (App *app = App::get())
			app->portal().signOut();
	});
}

void AccountRow::refresh()
{
	App *app = App::get();
	const bool signedIn = app && app->portal().isSignedIn();
	m_account->setText(
		signedIn ? tr("Signed in as <b>%1</b>")
				   .arg(app->portal().email().toHtmlEscaped())
			 : QString());
}

} // namespace quillmarch
