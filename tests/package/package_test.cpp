#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quorvin/client/orb_http_client.h"
#include "quorvin/package/designer.h"
#include "quorvin/package/icons/icons.h"
#include "quorvin/package/tarn_reg.h"
#include "quorvin/platform/core/form.h"
#include "quorvin/platform/core/form_file.h"
#include "quorvin/platform/core/palette.h"
#include "quorvin/platform/core/text.h"
#include "quorvin/platform/host/file_system.h"
#include "quorvin/platform/web/web_dispatcher.h"
#include "quorvin/server/tarn_server.h"

#include "test_support.h"

namespace quorvin::testing {
namespace {

using platform::TComponent;

// The components the package's own registration puts on the page, in its order.
std::vector<std::string> ExpectedComponents() {
  return {"TSvrModule", "TOrbHTTPClient", "TDwSvrModule", "TOrbHTTPDwClient"};
}

std::vector<std::string> PageComponents() {
  std::vector<std::string> names;
  for (const auto& e : platform::Palette::Instance().Components(package::kPalettePage)) {
    names.push_back(e.component->name);
  }
  return names;
}

std::uint32_t LE(std::span<const std::uint8_t> b, std::size_t at, int bytes) {
  std::uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | b[at + static_cast<std::size_t>(i)];
  return v;
}

TEST(Palette, KeepsPagesAndComponentsInFirstRegistrationOrder) {
  platform::Palette palette;
  platform::ClassInfo a, b;
  a.name = "TAlpha";
  b.name = "TBeta";
  palette.Add("One", b);
  palette.Add("Two", a);
  palette.Add("One", a);
  palette.Add("One", b);  // again: keeps its first place
  EXPECT_EQ(palette.Pages(), (std::vector<std::string>{"One", "Two"}));
  const auto one = palette.Components("One");
  ASSERT_EQ(one.size(), 2u);
  EXPECT_EQ(one[0].component, &b);
  EXPECT_EQ(one[1].component, &a);
  EXPECT_EQ(one[1].icon_name, "TALPHA");
  EXPECT_TRUE(palette.Components("Three").empty());
}

TEST(Package, RegistrationFillsOnePageInOrderEachComponentOnce) {
  package::Register();
  // Every unit registers its own component again, as a design environment may call them all.
  package::RegisterOrbHTTPDwClient();
  package::RegisterTarnDwServer();
  package::RegisterOrbHTTPClient();
  package::RegisterTarnServer();
  package::Register();
  EXPECT_EQ(platform::Palette::Instance().Pages(), std::vector<std::string>{"QUORVIN Packages"});
  EXPECT_EQ(PageComponents(), ExpectedComponents());
}

TEST(Package, EveryComponentHasItsIconUnderItsUpperCaseClassName) {
  package::Register();
  const auto entries = platform::Palette::Instance().Components(package::kPalettePage);
  ASSERT_EQ(entries.size(), ExpectedComponents().size());
  std::vector<std::vector<std::uint8_t>> seen;
  for (const auto& entry : entries) {
    SCOPED_TRACE(entry.component->name);
    EXPECT_EQ(entry.icon_name, platform::UpperCase(entry.component->name));
    const auto icon = platform::FindBitmapResource(entry.icon_name, 1033);
    ASSERT_EQ(icon.size(), 504u);
    EXPECT_EQ(icon.data(), entry.Icon().data());
    EXPECT_EQ(platform::FindBitmapResource(entry.component->name).data(),
              icon.data());                                                    // case ignored
    EXPECT_TRUE(platform::FindBitmapResource(entry.icon_name, 1031).empty());  // US English only
    const std::vector<std::uint8_t> bytes(icon.begin(), icon.end());
    for (const auto& other : seen) EXPECT_NE(bytes, other) << "two components share a picture";
    seen.push_back(bytes);
  }
}

TEST(Package, IconsAreTwentyFiveSquareSixteenColourBitmaps) {
  const auto icons = package::IconResources();
  std::vector<std::string> names;
  for (const auto& icon : icons) {
    SCOPED_TRACE(std::string(icon.name));
    names.emplace_back(icon.name);
    EXPECT_EQ(icon.language, 1033);
    const auto d = icon.dib;
    ASSERT_EQ(d.size(), 504u);
    EXPECT_EQ(LE(d, 0, 4), 40u);    // header size
    EXPECT_EQ(LE(d, 4, 4), 25u);    // width
    EXPECT_EQ(LE(d, 8, 4), 25u);    // height
    EXPECT_EQ(LE(d, 12, 2), 1u);    // planes
    EXPECT_EQ(LE(d, 14, 2), 4u);    // bits per pixel
    EXPECT_EQ(LE(d, 16, 4), 0u);    // uncompressed
    EXPECT_EQ(LE(d, 20, 4), 400u);  // image size
    EXPECT_EQ(LE(d, 32, 4), 16u);   // colours used
    // Each row is 25 pixels in 12.5 bytes padded to 16: the padding must stay zero, or the
    // drawing was laid out with the wrong stride.
    for (std::size_t row = 0; row < 25; ++row) {
      const std::size_t at = 104 + row * 16;
      EXPECT_EQ(d[at + 12] & 0x0F, 0) << "row " << row;
      EXPECT_EQ(d[at + 13] | d[at + 14] | d[at + 15], 0) << "row " << row;
    }
  }
  EXPECT_EQ(names, (std::vector<std::string>{"TSVRMODULE", "TDWSVRMODULE", "TORBHTTPCLIENT",
                                             "TORBHTTPDWCLIENT"}));
}

TEST(Package, IconBitmapFileHasTheFileHeaderBeforeTheBitmap) {
  const auto dib = package::IconResources()[0].dib;
  const std::string file = package::BitmapFile(dib);
  ASSERT_EQ(file.size(), 14u + 504u);
  const std::span<const std::uint8_t> b(reinterpret_cast<const std::uint8_t*>(file.data()),
                                        file.size());
  EXPECT_EQ(file.substr(0, 2), "BM");
  EXPECT_EQ(LE(b, 2, 4), 518u);   // file size
  EXPECT_EQ(LE(b, 6, 4), 0u);     // reserved
  EXPECT_EQ(LE(b, 10, 4), 118u);  // pixels after the file header, bitmap header and colours
  EXPECT_TRUE(std::equal(dib.begin(), dib.end(), b.begin() + 14));
}

TEST(Package, DescriptionNamesTheProductAndItsRelease) {
  EXPECT_EQ(package::Version(), QUORVIN_EXPECTED_VERSION);
  EXPECT_NE(package::Description().find("Quorvin"), std::string_view::npos);
  EXPECT_NE(package::Description().find(package::Version()), std::string_view::npos);
  EXPECT_EQ(package::Description().find('\n'), std::string_view::npos);
}

class Designer : public ::testing::Test {
 protected:
  void SetUp() override {
    package::Register();
    web::TWebDispatcher::Class();
  }

  std::unique_ptr<platform::TForm> form = package::NewDesignForm();
};

TEST_F(Designer, ServerModulesGetDesignTimeValuesAndNoListener) {
  MessageCapture boxes;
  auto& first = dynamic_cast<server::TSvrModule&>(package::PlaceComponent(*form, "TSvrModule"));
  package::PlaceComponent(*form, "TWebDispatcher");
  auto& second = dynamic_cast<server::TSvrModule&>(package::PlaceComponent(*form, "TSvrModule"));
  EXPECT_EQ(first.Name(), "SvrModule1");
  EXPECT_EQ(second.Name(), "SvrModule2");
  EXPECT_EQ(first.ServerPort, 80);
  EXPECT_EQ(second.ServerPort, 81);
  for (const server::TSvrModule* m : {&first, &second}) {
    EXPECT_TRUE(m->IsDesigning());
    EXPECT_EQ(m->ServerRoot, host::GetCurrentDir());
    EXPECT_EQ(m->DefaultFile, "index.htm");
    EXPECT_EQ(m->MaxRequest, 60);
    EXPECT_EQ(m->Timeout, 100);
    EXPECT_EQ(m->Listener, nullptr);  // only reading a form file opens one
  }
  EXPECT_TRUE(boxes.Shown().empty());
}

TEST_F(Designer, ServerOffTheFormIsWarnedAboutAndStillMade) {
  MessageCapture boxes;
  auto& holder = package::PlaceComponent(*form, "TComponent");
  auto& module = dynamic_cast<server::TSvrModule&>(package::PlaceComponent(holder, "TSvrModule"));
  ASSERT_EQ(boxes.Shown().size(), 1u);
  EXPECT_EQ(boxes.Shown()[0].first, "Quorvin Server Component must be in Main Form.");
  EXPECT_EQ(boxes.Shown()[0].second, "Quorvin Server");
  EXPECT_EQ(module.ServerPort, 80);
}

TEST_F(Designer, ClientGetsItsDesignTimeValues) {
  auto& c = dynamic_cast<client::TOrbHTTPClient&>(
      package::PlaceComponent(*form, "TOrbHTTPClient", "Fetcher"));
  EXPECT_EQ(c.Name(), "Fetcher");
  EXPECT_EQ(c.GetStringVariable(client::kProtocolVersion), "HTTP/1.0");
  EXPECT_EQ(c.GetStringVariable(client::kAccept), "*/*");
  EXPECT_EQ(c.GetStringVariable(client::kContentType), "text/html");
  EXPECT_EQ(c.GetStringVariable(client::kMIMEVersion), "1.0");
  EXPECT_EQ(c.GetDateVariable(client::kIfModifiedSince), 0.0);
  EXPECT_EQ(c.GetDateVariable(client::kDate), -1.0);
}

TEST_F(Designer, NewNamesTakeTheFirstFreeNumber) {
  package::PlaceComponent(*form, "TSvrModule", "SvrModule1");
  package::PlaceComponent(*form, "TSvrModule", "svrmodule3");
  EXPECT_EQ(package::PlaceComponent(*form, "TSvrModule").Name(), "SvrModule2");
  EXPECT_EQ(package::PlaceComponent(*form, "TSvrModule").Name(), "SvrModule4");
  EXPECT_EQ(package::PlaceComponent(*form, "TWebDispatcher").Name(), "WebDispatcher1");
}

TEST_F(Designer, RefusesWhatADesignerWouldRefuse) {
  package::PlaceComponent(*form, "TSvrModule", "Server");

  struct Case {
    const char* class_name;
    const char* name;
  };

  for (const Case& c : {Case{"TNoSuchThing", ""}, Case{"TSvrModule", "SERVER"},
                        Case{"TSvrModule", "2nd"}, Case{"TSvrModule", "my server"}}) {
    SCOPED_TRACE(std::string(c.class_name) + " " + c.name);
    EXPECT_THROW(package::PlaceComponent(*form, c.class_name, c.name), package::DesignError);
  }
  EXPECT_EQ(form->ComponentCount(), 1);
}

// Every published property, references by the name of their target.
std::vector<std::string> Stored(const TComponent& c) {
  std::vector<std::string> out;
  for (const auto& prop : c.ClassType()->properties) {
    const auto v = prop.get(c);
    std::string text;
    if (const auto* target = std::get_if<TComponent*>(&v)) {
      text = *target ? (*target)->Name() : "(none)";
    } else if (const auto* s = std::get_if<std::string>(&v)) {
      text = *s;
    } else if (const auto* i = std::get_if<std::int64_t>(&v)) {
      text = std::to_string(*i);
    } else if (const auto* d = std::get_if<platform::TDateTime>(&v)) {
      text = std::to_string(*d);
    } else {
      text = std::get<platform::Json>(v).dump();
    }
    out.push_back(prop.name + "=" + text);
  }
  return out;
}

TEST_F(Designer, WrittenFormLoadsBackWithTheSameValues) {
  auto& server = dynamic_cast<server::TSvrModule&>(package::PlaceComponent(*form, "TSvrModule"));
  auto& web = package::PlaceComponent(*form, "TWebDispatcher", "Web");
  auto& c = dynamic_cast<client::TOrbHTTPClient&>(package::PlaceComponent(*form, "TOrbHTTPClient"));
  server.ServerPort = 0;  // loading opens the listener: let the system pick a free port
  server.Dispatcher = dynamic_cast<web::TCustomWebDispatcher*>(&web);
  c.SetStringVariable(client::kURL, "/index.htm");
  const std::string text = platform::WriteFormText(*form);
  EXPECT_EQ(text.find("Timeout"), std::string::npos) << "a default is written:\n" << text;

  for (const bool designing : {false, true}) {
    SCOPED_TRACE(designing ? "loaded into the designer" : "loaded into a program");
    MessageCapture boxes;
    const auto loaded = platform::LoadFormText(text, "designed", {.designing = designing});
    ASSERT_EQ(loaded->ComponentCount(), form->ComponentCount());
    EXPECT_EQ(loaded->Name(), "MainForm");
    EXPECT_EQ(loaded->IsDesigning(), designing);
    for (int i = 0; i < form->ComponentCount(); ++i) {
      const TComponent& want = *form->Components(i);
      const TComponent& got = *loaded->Components(i);
      EXPECT_EQ(got.Name(), want.Name());
      EXPECT_EQ(got.ClassName(), want.ClassName());
      EXPECT_EQ(Stored(got), Stored(want));
    }
    EXPECT_TRUE(boxes.Shown().empty());
  }
}

}  // namespace
}  // namespace quorvin::testing
