#include "app/product_seams.h"

#include "capture/region_selector.h"
#include "editor/editor_window.h"
#include "sharing/share_uploader.h"
#include "ui/dialogs.h"

namespace nimbo {

std::unique_ptr<Seams> makeProductSeams() {
  auto s = std::make_unique<Seams>();
  s->uploader = std::make_unique<ShareUploader>();
  s->editorHost = std::make_unique<WindowEditorHost>();
  s->regionPresenter = std::make_unique<OverlayRegionPresenter>();
  s->dialogs = std::make_unique<MessageBoxDialogs>();
  return s;
}

}  // namespace nimbo
