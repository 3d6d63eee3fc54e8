#include "controller_panel.h"

#include "catalogue/controller_catalog.h"

#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <algorithm>

namespace quillmarch {

namespace {

QString keyOf(const QComboBox *box)
{
	return box->currentData().toString();
}

// Fills `box` with the distinct keys (labelled, sorted by label without
// regard to case) and selects `wanted` when it is among them.
void fill(QComboBox *box, const QStringList &keys,
	  const std::function<QString(const QString &)> &label,
	  const QString &wanted)
{
	QList<QPair<QString, QString>> items; // label, key
	for (const QString &key : keys) {
		bool seen = false;
		for (const auto &item : items)
			seen = seen || item.second == key;
		if (!seen)
			items.append({label(key), key});
	}
	std::stable_sort(items.begin(), items.end(),
			 [](const auto &a, const auto &b) {
				 return a.first.toLower() < b.first.toLower();
			 });
	const QSignalBlocker blocker(box);
	box->clear();
	for (const auto &item : items)
		box->addItem(item.first, item.second);
	const int index = box->findData(wanted);
	if (index >= 0)
		box->setCurrentIndex(index);
}

} // namespace

ControllerPanel::ControllerPanel(DeviceSession *session, QWidget *parent)
	: PanelBase(session, parent)
{
	auto *layout = new QVBoxLayout(this);
	auto *intro = new QLabel(tr("Pick the scoreboard this device is "
				    "connected to. Each choice narrows the "
				    "next."),
				 this);
	intro->setWordWrap(true);
	layout->addWidget(intro);
	auto *form = new QFormLayout;
	m_maker = new QComboBox(this);
	m_model = new QComboBox(this);
	m_sport = new QComboBox(this);
	m_input = new QComboBox(this);
	form->addRow(tr("Manufacturer"), m_maker);
	form->addRow(tr("Model"), m_model);
	form->addRow(tr("Sport"), m_sport);
	form->addRow(tr("Input type"), m_input);
	layout->addLayout(form);
	m_save = new QPushButton(tr("Save scoreboard"), this);
	m_save->setDefault(true);
	m_save->setEnabled(false);
	layout->addWidget(m_save, 0, Qt::AlignLeft);
	layout->addWidget(statusLabel());
	layout->addStretch();

	// The user's pick narrows the lists below it; nothing is preselected
	// there.
	connect(m_maker, QOverload<int>::of(&QComboBox::activated), this,
		[this] { fillModels({}); });
	connect(m_model, QOverload<int>::of(&QComboBox::activated), this,
		[this] { fillSports({}); });
	connect(m_sport, QOverload<int>::of(&QComboBox::activated), this,
		[this] { fillInputs({}); });
	connect(m_save, &QPushButton::clicked, this, &ControllerPanel::save);
}

void ControllerPanel::fillMakers(const ControllerChoice &wanted)
{
	QStringList keys;
	for (const ControllerChoice &c : m_choices)
		keys << c.manufacturer;
	fill(m_maker, keys, manufacturerLabel, wanted.manufacturer);
	fillModels(wanted);
}

void ControllerPanel::fillModels(const ControllerChoice &wanted)
{
	const QString maker = keyOf(m_maker);
	QStringList keys;
	for (const ControllerChoice &c : m_choices)
		if (c.manufacturer == maker)
			keys << c.model;
	fill(
		m_model, keys, [](const QString &k) { return k; },
		wanted.model);
	fillSports(wanted);
}

void ControllerPanel::fillSports(const ControllerChoice &wanted)
{
	const QString maker = keyOf(m_maker);
	const QString model = keyOf(m_model);
	QStringList keys;
	for (const ControllerChoice &c : m_choices)
		if (c.manufacturer == maker && c.model == model)
			keys << c.sport;
	fill(m_sport, keys, sportLabel, wanted.sport);
	fillInputs(wanted);
}

void ControllerPanel::fillInputs(const ControllerChoice &wanted)
{
	const QString maker = keyOf(m_maker);
	const QString model = keyOf(m_model);
	const QString sport = keyOf(m_sport);
	QStringList keys;
	for (const ControllerChoice &c : m_choices)
		if (c.manufacturer == maker && c.model == model &&
		    c.sport == sport)
			keys << c.inputType;
	fill(m_input, keys, inputTypeLabel, wanted.inputType);
}

void ControllerPanel::load()
{
	setMessage(tr("Loading the list…"));
	m_choices.clear();
	for (QComboBox *box : {m_maker, m_model, m_sport, m_input})
		box->clear();
	m_save->setEnabled(false);
	DeviceSession *s = connectedSession();
	if (!s)
		return;
	QPointer<ControllerPanel> self(this);
	s->listControllers([self](bool ok,
				  const QList<ControllerChoice> &choices,
				  const QString &message) {
		if (!self)
			return;
		if (!ok) {
			self->setMessage(message, true);
			return;
		}
		self->m_choices = choices;
		self->fillMakers({});
		self->m_save->setEnabled(!choices.isEmpty());
		if (choices.isEmpty()) {
			self->setMessage(
				tr("The device did not list its scoreboards."));
			return;
		}
		self->setMessage(QString());
		DeviceSession *s = self->session();
		if (!s)
			return;
		s->getControllerConfig([self](bool ok,
					      const QJsonObject &config,
					      const QString &) {
			if (!self || !ok)
				return;
			ControllerChoice current;
			current.manufacturer =
				config.value(QLatin1String("manufacturer"))
					.toString();
			current.model =
				config.value(QLatin1String("model")).toString();
			current.sport =
				config.value(QLatin1String("sport")).toString();
			current.inputType =
				config.value(QLatin1String("input_type"))
					.toString();
			for (const ControllerChoice &c : self->m_choices) {
				if (c.manufacturer == current.manufacturer &&
				    c.model == current.model &&
				    c.sport == current.sport &&
				    c.inputType == current.inputType) {
					self->fillMakers(current);
					self->setMessage(
						tr("Currently set to this "
						   "scoreboard."));
					return;
				}
			}
		});
	});
}

void ControllerPanel::save()
{
	ControllerChoice choice;
	choice.manufacturer = keyOf(m_maker);
	choice.model = keyOf(m_model);
	choice.sport = keyOf(m_sport);
	choice.inputType = keyOf(m_input);
	if (choice.manufacturer.isEmpty() || choice.model.isEmpty() ||
	    choice.sport.isEmpty() || choice.inputType.isEmpty()) {
		setMessage(tr("Choose the manufacturer, model, sport and input "
			      "type first."),
			   true);
		return;
	}
	DeviceSession *s = connectedSession();
	if (!s)
		return;
	setMessage(tr("Saving…"));
	QPointer<ControllerPanel> self(this);
	s->setController(choice, [self](bool ok, const QString &error) {
		if (!self)
			return;
		if (!ok) {
			self->setMessage(error, true);
			return;
		}
		self->setMessage(tr("Saved."));
		Q_EMIT self->saved();
	});
}

} // namespace quillmarch
