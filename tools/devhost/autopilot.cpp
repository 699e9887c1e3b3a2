#include "autopilot.h"

#include "devhost-window.h"
#include "service-sim.h"

#include <QDateTime>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonObject>
#include <QLabel>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QTcpSocket>

namespace {
constexpr char kDockId[] = "kelp_obs_dock";
// Quick ticks while the autopilot has something to do or something just happened; slow ones
// otherwise, so a dev host left idle costs next to nothing.
constexpr int kBusyTickMs = 100;
constexpr int kIdleTickMs = 1000;
constexpr qint64 kBusyAfterActivityMs = 3000;
// A request or a host log line is answered by one extra look shortly after, once the dock has had
// time to take the reply in.
constexpr int kNudgeDelayMs = 50;
// The updater's first manifest check runs 1200 ms after start; give it time to answer.
constexpr qint64 kMinRunMs = 2500;
// Labels unchanged for this long count as settled.
constexpr qint64 kQuietMs = 1200;
constexpr qint64 kSettleLimitMs = 45000;
constexpr quint16 kBusPort = 4251;
} // namespace

Autopilot::Autopilot(const AutopilotPlan &plan, DevHostWindow *window, kelpsim::ServiceSim *sim, QObject *parent)
    : QObject(parent), plan(plan), window(window), sim(sim)
{
	ticker.setInterval(kBusyTickMs);
	connect(&ticker, &QTimer::timeout, this, &Autopilot::tick);
	nudgeTimer.setSingleShot(true);
	nudgeTimer.setInterval(kNudgeDelayMs);
	connect(&nudgeTimer, &QTimer::timeout, this, &Autopilot::tick);
	// Whatever reaches the service or the host may change what the dock shows.
	if (sim)
		connect(sim, &kelpsim::ServiceSim::requestReceived, this, &Autopilot::nudge);
	if (window)
		connect(window, &DevHostWindow::hostLogLine, this, &Autopilot::nudge);
}

void Autopilot::nudge()
{
	if (ticker.isActive() && !nudgeTimer.isActive())
		nudgeTimer.start();
}

bool Autopilot::hasWork() const
{
	return (plan.pressPair && !pairPressed) || repairing || (plan.addGoal && !goalPressed) ||
	       (plan.donate && !donated) || (!plan.screenshot.isEmpty() && !shot) ||
	       sinceActivity.elapsed() < kBusyAfterActivityMs;
}

void Autopilot::start()
{
	if (plan.widgetReader)
		openReader();
	sinceStart.start();
	sinceChange.start();
	sinceActivity.start();
	ticker.start();
	tick();
}

QWidget *Autopilot::dock() const
{
	return window ? window->dockWidget(QLatin1String(kDockId)) : nullptr;
}

QPushButton *Autopilot::button(const char *objectName) const
{
	QWidget *widget = dock();
	return widget ? widget->findChild<QPushButton *>(QLatin1String(objectName)) : nullptr;
}

QString Autopilot::labelText(const char *objectName) const
{
	QWidget *widget = dock();
	const QLabel *label = widget ? widget->findChild<QLabel *>(QLatin1String(objectName)) : nullptr;
	return label && !label->isHidden() ? label->text() : QString();
}

bool Autopilot::isPaired() const
{
	const QPushButton *disconnect = button("disconnectButton");
	return disconnect && !disconnect->isHidden();
}

QString Autopilot::snapshot() const
{
	QStringList parts;
	for (const char *name : {"statusLabel", "pairCodeLabel", "busLabel", "widgetLabel", "runtimeLabel",
				 "lastEventLabel", "countersLabel"})
		parts.append(labelText(name));
	if (window)
		parts.append(window->sceneRows());
	return parts.join(QLatin1Char('\n'));
}

void Autopilot::tick()
{
	step();
	const int interval = hasWork() ? kBusyTickMs : kIdleTickMs;
	if (ticker.isActive() && ticker.interval() != interval)
		ticker.setInterval(interval);
}

void Autopilot::step()
{
	QWidget *widget = dock();
	if (!widget)
		return;
	if (!logWatched) {
		logWatched = true;
		// The runtime log inserts its newest line on top; passing it on lets a headless run be read.
		if (auto *log = widget->findChild<QListWidget *>(QStringLiteral("logList"))) {
			for (int row = log->count() - 1; row >= 0; --row)
				emit message(QStringLiteral("dock log: ") + log->item(row)->text());
			connect(log->model(), &QAbstractItemModel::rowsInserted, this,
				[this, log = QPointer<QListWidget>(log)](const QModelIndex &, int first, int last) {
					for (int row = last; log && row >= first; --row)
						emit message(QStringLiteral("dock log: ") + log->item(row)->text());
				});
		}
	}

	// The status line is what a user would glance at first; a headless run shows it too.
	const QString status = labelText("statusLabel");
	if (status != shownStatus) {
		shownStatus = status;
		if (!status.isEmpty())
			emit message(QStringLiteral("dock status: ") + status);
		if (plan.repair && (status == QLatin1String("KELP: Pairing code expired") ||
				    status == QLatin1String("KELP: Authorization expired"))) {
			repairing = true;
			sinceActivity.restart();
			emit message(status.endsWith(QLatin1String("code expired"))
					     ? QStringLiteral("Nobody approved the code in time; pairing again.")
					     : QStringLiteral(
						       "The service no longer accepts this OBS's token (revoked, or "
						       "issued by another service); disconnecting and pairing again."));
		}
	}
	if (repairing)
		pairAgain();

	const QString code = labelText("pairCodeLabel");
	if (code != shownCode) {
		shownCode = code;
		sinceActivity.restart();
		if (!code.isEmpty() && plan.approve)
			emit message(QStringLiteral("Pairing code: %1").arg(code));
		else if (!code.isEmpty() && plan.approveCommand.isEmpty())
			emit message(QStringLiteral("Pairing code: %1 (type it on %2)").arg(code, plan.codePage));
		else if (!code.isEmpty())
			emit message(QStringLiteral("Pairing code: %1 (type it on %2, or run: %3)")
					     .arg(code, plan.codePage,
						  QString(plan.approveCommand).replace(QLatin1String("%CODE%"), code)));
	}

	if (plan.pressPair && !pairPressed) {
		pairPressed = true;
		QPushButton *pair = button("pairButton");
		if (pair && !pair->isHidden())
			pair->click();
		else
			emit message(QStringLiteral("Already paired; \"Pair OBS\" not pressed."));
	}
	if (plan.addGoal && !goalPressed) {
		goalPressed = true;
		if (QPushButton *add = button("addEventGoalButton"))
			add->click();
	}
	if (sim && plan.approve) {
		for (const QString &pending : sim->pendingCodes()) {
			sinceActivity.restart();
			if (sim->approveCode(pending))
				emit message(QStringLiteral("Approved pairing code %1 in the simulator.").arg(pending));
		}
	}
	if (sim && plan.donate && !donated && isPaired() && sim->heldPollCount() > 0 &&
	    (!plan.widgetReader || readerReady())) {
		donated = true;
		const QJsonObject donation{
			{"type", "donation"},
			{"provider", "kelp"},
			{"id", QStringLiteral("devhost_%1").arg(QDateTime::currentMSecsSinceEpoch())},
			{"amount", 500},
			{"currency", "RUB"},
			{"name", "Dev host"},
			{"message", "A donation queued by kelp-devhost --donate"},
		};
		sim->queueEvent(QString(), donation);
		emit message(QStringLiteral("Queued a donation of 500 RUB in the simulator."));
	}

	if (plan.screenshot.isEmpty() || shot)
		return;
	const QString now = snapshot();
	if (now != lastSnapshot) {
		lastSnapshot = now;
		sinceChange.restart();
	}
	if (settled())
		shoot(false);
	else if (sinceStart.elapsed() > kSettleLimitMs)
		shoot(true);
}

bool Autopilot::settled() const
{
	if (sinceStart.elapsed() < kMinRunMs || sinceChange.elapsed() < kQuietMs)
		return false;
	const QPushButton *check = button("checkRuntimeButton");
	if (!check || !check->isEnabled())
		return false;
	if (plan.approve && !(isPaired() && labelText("widgetLabel").contains(QLatin1String("Local revision"))))
		return false;
	if (plan.pressPair && !plan.approve && !isPaired() && labelText("pairCodeLabel").isEmpty())
		return false;
	if (plan.donate && sim && (!donated || labelText("lastEventLabel") == QStringLiteral("—")))
		return false;
	if (plan.widgetReader && !readerGotEvent)
		return false;
	return true;
}

void Autopilot::shoot(bool timedOut)
{
	shot = true;
	ticker.stop();
	if (timedOut)
		emit message(QStringLiteral("The dock did not settle within %1 s; taking the picture as it is.")
				     .arg(kSettleLimitMs / 1000));
	const QPixmap picture = window ? window->grab() : QPixmap();
	if (picture.isNull() || !picture.save(plan.screenshot, "PNG")) {
		emit message(QStringLiteral("Could not write %1").arg(plan.screenshot));
		emit finished(1);
		return;
	}
	emit message(QStringLiteral("Screenshot: %1 (%2×%3)")
			     .arg(QFileInfo(plan.screenshot).absoluteFilePath())
			     .arg(picture.width())
			     .arg(picture.height()));
	emit finished(timedOut ? 3 : 0);
}

// A button at a time, as a person would: "Disconnect this OBS" first when a token is held, then
// "Pair OBS" once the dock shows it.
void Autopilot::pairAgain()
{
	if (QPushButton *disconnect = button("disconnectButton"); disconnect && !disconnect->isHidden()) {
		disconnect->click();
		return;
	}
	if (QPushButton *pair = button("pairButton"); pair && !pair->isHidden() && pair->isEnabled()) {
		repairing = false;
		pair->click();
	}
}

// One /events stream, as a Browser Source holds it, so that the donation has a widget to reach.
void Autopilot::openReader()
{
	reader = new QTcpSocket(this);
	connect(reader, &QTcpSocket::connected, this,
		[this] { reader->write("GET /events HTTP/1.1\r\nHost: 127.0.0.1:4251\r\n\r\n"); });
	connect(reader, &QTcpSocket::readyRead, this, [this] {
		// Only a tail is kept across reads: enough for a marker split between two of them.
		const QByteArray bytes = readerTail + reader->readAll();
		readerTail = bytes.right(32);
		if (bytes.contains("\r\n\r\n"))
			readerHeadDone = true;
		if (!readerGotEvent && donated && bytes.contains("\nevent: kelp\n")) {
			readerGotEvent = true;
			emit message(QStringLiteral("Widget stream: the donation arrived on /events."));
			nudge();
		}
	});
	reader->connectToHost(QHostAddress::LocalHost, kBusPort);
}

// The bus has answered the stream's head, so it counts the reader for the next event.
bool Autopilot::readerReady() const
{
	return reader && reader->state() == QAbstractSocket::ConnectedState && readerHeadDone;
}
