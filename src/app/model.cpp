#include "app/model.h"

namespace quillon::app {

Model::Model(Instant now, QObject* parent) : QObject(parent), m_snap(Snapshot::empty(now)) {}

} // namespace quillon::app
