#include "security_panel.h"

#include <QApplication>
#include <QClipboard>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillmarch {

namespace {

constexpr int kCallMs = 20000;
constexpr int kMinPasswordLength = 8;
// Every device leaves the factory with it, so it protects nothing.
const QString kFactoryPassword = QStringLiteral("corvalinth");

QLineEdit *readOnlyField(QWidget *parent)
{
	auto *field = new QLineEdit(parent);
	field->setReadOnly(true);
	return field;
}

QLineEdit *passwordField(QWidget *parent)
{
	auto *field = new QLineEdit(parent);
	field->setEchoMode(QLineEdit::Password);
	return field;
}

QLabel *note(const QString &text, QWidget *parent)
{
	auto *label = new QLabel(text, parent);
	label->setWordWrap(true);
	return label;
}

} // namespace

SecurityPanel::SecurityPanel(DeviceSession *session, QWidget *parent)
	: PanelBase(session, parent)
{
	auto *layout = new QVBoxLayout(this);

	auto *access = new QGroupBox(tr("Network access"), this);
	auto *accessLayout = new QVBoxLayout(access);
	accessLayout->addWidget(note(
		tr("Other programs can read this device's live scores over the network with an access token."),
		access));
	auto *accessForm = new QFormLayout;
	m_fingerprint = readOnlyField(access);
	m_token = readOnlyField(access);
	accessForm->addRow(tr("Security fingerprint (SHA-256)"), m_fingerprint);
	accessForm->addRow(tr("Access token"), m_token);
	accessLayout->addLayout(accessForm);
	auto *tokenRow = new QHBoxLayout;
	m_newTokenButton =
		new QPushButton(tr("Make a new access token"), access);
	m_copyButton = new QPushButton(tr("Copy token"), access);
	tokenRow->addWidget(m_newTokenButton);
	tokenRow->addWidget(m_copyButton);
	tokenRow->addStretch();
	accessLayout->addLayout(tokenRow);
	layout->addWidget(access);

	auto *pairing = new QGroupBox(tr("Bluetooth pairing"), this);
	auto *pairingLayout = new QVBoxLayout(pairing);
	auto *pairingForm = new QFormLayout;
	m_passkey = readOnlyField(pairing);
	pairingForm->addRow(tr("6-digit passkey"), m_passkey);
	pairingLayout->addLayout(pairingForm);
	m_passkeyButton = new QPushButton(tr("Show pairing passkey"), pairing);
	pairingLayout->addWidget(m_passkeyButton, 0, Qt::AlignLeft);
	pairingLayout->addWidget(note(
		tr("The passkey this computer or phone enters the first time it pairs over Bluetooth. It is only shown over a cable or the network."),
		pairing));
	layout->addWidget(pairing);

	auto *password = new QGroupBox(tr("Admin password"), this);
	auto *passwordLayout = new QVBoxLayout(password);
	auto *passwordForm = new QFormLayout;
	m_current = passwordField(password);
	m_new = passwordField(password);
	m_again = passwordField(password);
	passwordForm->addRow(tr("Current password"), m_current);
	passwordForm->addRow(tr("New password (at least 8 characters)"), m_new);
	passwordForm->addRow(tr("New password again"), m_again);
	passwordLayout->addLayout(passwordForm);
	m_changeButton = new QPushButton(tr("Change password"), password);
	passwordLayout->addWidget(m_changeButton, 0, Qt::AlignLeft);
	layout->addWidget(password);

	layout->addWidget(statusLabel());
	layout->addStretch();

	connect(m_newTokenButton, &QPushButton::clicked, this,
		&SecurityPanel::makeToken);
	connect(m_copyButton, &QPushButton::clicked, this,
		&SecurityPanel::copyToken);
	connect(m_passkeyButton, &QPushButton::clicked, this,
		&SecurityPanel::showPasskey);
	connect(m_changeButton, &QPushButton::clicked, this,
		&SecurityPanel::changePassword);
}

void SecurityPanel::refresh()
{
	call(
		QStringLiteral("getStatus"), {},
		[this](const RpcResult &r) {
			if (!r.ok)
				return;
			m_fingerprint->setText(
				r.result.value(QStringLiteral("tls_fingerprint"))
					.toString());
			// The device never hands out a token it already made.
			if (m_token->text().isEmpty() &&
			    r.result.value(QStringLiteral(
						   "api_token_configured"))
				    .toBool())
				m_token->setPlaceholderText(tr(
					"Set – make a new token to see one"));
		},
		kCallMs);
}

void SecurityPanel::makeToken()
{
	if (!ask(tr("New access token"),
		 tr("Make a new access token? Anything using the old one will stop working until you update it.")))
		return;
	call(
		QStringLiteral("ensureApiToken"),
		{{QStringLiteral("force_new"), true}},
		[this](const RpcResult &r) {
			if (!r.ok) {
				setMessage(r.message, true);
				return;
			}
			const QString token =
				r.result.value(QStringLiteral("token"))
					.toString();
			if (token.isEmpty()) {
				setMessage(
					tr("The device did not return a token."),
					true);
				return;
			}
			m_token->setText(token);
			setMessage(tr(
				"Copy the token now – it is not shown again."));
			Q_EMIT apiToken(token);
		},
		kCallMs);
}

void SecurityPanel::copyToken()
{
	if (!m_token->text().isEmpty())
		QApplication::clipboard()->setText(m_token->text());
}

void SecurityPanel::showPasskey()
{
	call(
		QStringLiteral("blePasskey"), {},
		[this](const RpcResult &r) {
			if (!r.ok) {
				setMessage(r.message, true);
				return;
			}
			const QString passkey =
				r.result.value(QStringLiteral("passkey"))
					.toString();
			if (passkey.isEmpty()) {
				setMessage(
					tr("The device did not return a passkey."),
					true);
				return;
			}
			m_passkey->setText(passkey);
			setMessage(QString());
		},
		kCallMs);
}

void SecurityPanel::changePassword()
{
	const QString current = m_current->text();
	const QString next = m_new->text();
	const QString again = m_again->text();
	if (current.isEmpty() || next.isEmpty()) {
		setMessage(tr("Fill in the current and new password."), true);
		return;
	}
	if (next != again) {
		setMessage(tr("The two new passwords do not match."), true);
		return;
	}
	if (next.size() < kMinPasswordLength ||
	    next.toLower() == kFactoryPassword) {
		setMessage(
			tr("Use at least 8 characters, and not the factory password."),
			true);
		return;
	}
	call(
		QStringLiteral("changePassword"),
		{{QStringLiteral("current_password"), current},
		 {QStringLiteral("new_password"), next},
		 {QStringLiteral("confirm_password"), again}},
		[this, next](const RpcResult &r) {
			if (!r.ok) {
				setMessage(r.message, true);
				return;
			}
			m_current->clear();
			m_new->clear();
			m_again->clear();
			setMessage(tr("Password changed."));
			Q_EMIT passwordChanged(next);
		},
		kCallMs);
}

} // namespace quillmarch
