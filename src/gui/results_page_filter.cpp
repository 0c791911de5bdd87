// Results page: the filter check box, the filter dialog and refilling the
// list (on the list worker for large folders).
#include <QCheckBox>

#include "gui/filter_dialog.h"
#include "gui/results_page.h"
#include "gui/skin_button.h"

namespace brenix::gui {

// ---- filter ------------------------------------------------------------------------

void ResultsPage::filterToggled(bool on) {
  filterButton_->setEnabled(on);
  filter_.enabled = on;
  if (filter_.anyValueSet()) applyFilter(filter_);
}

void ResultsPage::openFilterDialog() {
  FilterDialog dlg(filter_, this);
  if (dlg.exec() != QDialog::Accepted) return;
  applyFilter(dlg.filter());
}

void ResultsPage::applyFilter(const ResultFilter& filter) {
  if (job_ != Job::None) return;
  filter_ = filter;
  filter_.enabled = filterCheck_->isChecked();
  auto show = [this] {
    fillList();
    syncChecks();
    thumbsStale_ = true;
    setViewMode(viewMode_);
  };
  const ResultFolder* folder = model_->selectedFolder();
  if (!folder || folder->items.size() < kBackgroundRows) {
    ++listGeneration_;
    model_->applyFilter(filter_);
    show();
    return;
  }
  model_->setFilter(filter_);  // a folder chosen meanwhile is filled with it
  runListWork([kind = kind_, &tree = tree_, folder, f = filter_] { return ResultsModel::filterRows(kind, tree, *folder, f); },
              [this, show, f = filter_](std::vector<size_t> rows) {
                model_->applyFilteredRows(f, std::move(rows));
                show();
              });
}

}  // namespace brenix::gui
