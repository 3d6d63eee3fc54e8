#include "panel_base.h"

#include "admin/device_session.h"
#include "panel_widgets.h"

#include <QLabel>
#include <QMessageBox>

namespace quillmarch {

PanelBase::PanelBase(DeviceSession *session, QWidget *parent)
	: QWidget(parent),
	  m_session(session)
{
	m_status = panelwidgets::messageLine(this);
}

void PanelBase::refresh() {}

void PanelBase::setMessage(const QString &text, bool error)
{
	panelwidgets::setMessage(m_status, text, error);
}

DeviceSession *PanelBase::connectedSession()
{
	DeviceSession *s = m_session.data();
	if (!s)
		setMessage(tr("Not connected to a device."), true);
	return s;
}

bool PanelBase::ask(const QString &title, const QString &text, bool defaultNo)
{
	QPointer<PanelBase> self(this);
	const auto answer = QMessageBox::question(
		this, title, text, QMessageBox::Yes | QMessageBox::No,
		defaultNo ? QMessageBox::No : QMessageBox::NoButton);
	return self && answer == QMessageBox::Yes;
}

void PanelBase::call(const QString &method, const QJsonObject &params,
		     std::function<void(const RpcResult &)> callback,
		     int timeoutMs)
{
	DeviceSession *s = m_session.data();
	if (!s || !s->rpc()) {
		setMessage(tr("Not connected to a device."), true);
		return;
	}
	QPointer<PanelBase> self(this);
	s->rpc()->call(
		method, params,
		[self, callback](const RpcResult &result) {
			if (self && callback)
				callback(result);
		},
		timeoutMs);
}

} // namespace quillmarch
