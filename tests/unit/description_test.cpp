// Description sources: the uaudio query behind a stand-in for sysctlbyname,
// and the sysfs source on real directory trees laid out as Linux lays out
// /sys (class/sound/cardN is a link into devices/, cardN/device a link to
// the USB interface, the strings on the USB device above it).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "control/client_name.h"
#include "control/description.h"

namespace cableferry {
namespace {

namespace fs = std::filesystem;

// What the stand-in for sysctlbyname holds and saw.  It has no context
// argument, so it is one file-scope record.
struct fake_sysctl_t {
	std::string value; // the value, terminator included as the kernel counts it
	int error;         // errno to fail with before copying anything; 0 for none
	std::string asked; // the name it was last asked for
	int calls;         // how often it was called
};
fake_sysctl_t fake_sysctl;

// Reads the name before writing the value, as the kernel does, since both
// share one buffer.
int fake_sysctl_read(const char *name, void *value, std::size_t *length)
{
	++fake_sysctl.calls;
	fake_sysctl.asked = name;
	if (fake_sysctl.error != 0)
		return fake_sysctl.error;
	const std::size_t copied = std::min(*length, fake_sysctl.value.size());
	std::memcpy(value, fake_sysctl.value.data(), copied);
	if (copied < fake_sysctl.value.size())
		return ENOMEM;
	*length = copied;
	return 0;
}

const uaudio_source_t fake_uaudio = {fake_sysctl_read};

TEST(UaudioDescription, QueriesTheConfigurationTree)
{
	const std::string long_value = std::string(200, 'L') + '\0';
	const struct {
		const char *label;         // case name in failure output
		int unit;                  // unit asked for
		std::string value;         // value the stand-in holds
		int error;                 // errno the stand-in fails with
		description_status status; // expected answer
		std::size_t length;        // expected delivered length
		std::string name;          // client name for /dev/umidi<unit>.0
	} cases[] = {
		{"keys_49", 0, std::string("Keys 49, rev 2\0", 15), 0, description_status::ok, 15, "Keys 49 #0"},
		{"long_product", 12, std::string("A Very Long Product Name Here\0", 30), 0, description_status::ok, 30,
		 "A Very Long Prod #0"},
		{"enomem", 3, long_value, 0, description_status::too_long, 128, "LLLLLLLLLLLLLLLL #0"},
		{"refused", 1, "", ENOENT, description_status::refused, 128, "cableferry-umidi1.0"},
		{"not_permitted", 1, "", EPERM, description_status::refused, 128, "cableferry-umidi1.0"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		const std::string query_name = "dev.uaudio." + std::to_string(c.unit) + ".%desc";
		fake_sysctl = {c.value, c.error, "", 0};
		std::array<char, name_capacity> buffer{};
		std::size_t length = buffer.size();
		EXPECT_EQ(uaudio_description(&fake_uaudio, c.unit, buffer, length), c.status);
		EXPECT_EQ(fake_sysctl.asked, query_name);
		EXPECT_EQ(length, c.length);
		if (c.status != description_status::refused) {
			EXPECT_EQ(std::string(buffer.data(), length), c.value.substr(0, length));
		}

		fake_sysctl = {c.value, c.error, "", 0};
		bridge_settings_t settings;
		settings.capture_path = "/dev/umidi" + std::to_string(c.unit) + ".0";
		const description_source_t source{node_family::umidi, uaudio_description, &fake_uaudio};
		EXPECT_EQ(make_client_name(settings, source), c.name);
		EXPECT_EQ(fake_sysctl.asked, query_name);
	}
}

// A sysfs-shaped tree in a fresh temporary folder, removed afterwards.
class SysfsTree : public ::testing::Test {
protected:
	fs::path root;

	void SetUp() override
	{
		std::string folder = (fs::temp_directory_path() / "cableferry-sysfs-XXXXXX").string();
		ASSERT_NE(::mkdtemp(folder.data()), nullptr);
		root = folder;
	}

	void TearDown() override
	{
		std::error_code ignored;
		if (!root.empty())
			fs::remove_all(root, ignored);
	}

	void put(const fs::path &file, const char *text)
	{
		if (text != nullptr)
			std::ofstream(file, std::ios::binary) << text;
	}

	// A card on a USB device: devices/usb1/1-N/{manufacturer,product}, the
	// interface 1-N:1.0 below it, the card below that.
	void add_usb_card(int card, const char *manufacturer, const char *product, const char *id)
	{
		const std::string n = std::to_string(card);
		const fs::path usb = root / "devices/usb1" / ("1-" + n);
		add_card(card, usb / ("1-" + n + ":1.0"), "../../devices/usb1/1-" + n + "/1-" + n + ":1.0", id);
		put(usb / "manufacturer", manufacturer);
		put(usb / "product", product);
	}

	// A card on a PCI function, whose parent has no USB strings.
	void add_pci_card(int card, const char *id)
	{
		const std::string function = "0000:00:1f." + std::to_string(card);
		add_card(card, root / "devices/pci0000:00" / function, "../../devices/pci0000:00/" + function, id);
	}

	void add_card(int card, const fs::path &parent, const std::string &parent_from_class, const char *id)
	{
		const std::string name = "card" + std::to_string(card);
		const fs::path card_dir = parent / "sound" / name;
		fs::create_directories(card_dir);
		fs::create_directories(root / "class/sound");
		fs::create_directory_symlink("../../../" + parent.filename().string(), card_dir / "device");
		fs::create_directory_symlink(parent_from_class + "/sound/" + name, root / "class/sound" / name);
		put(card_dir / "id", id);
	}

	description_source_t source(const sysfs_source_t &tree)
	{
		return {node_family::alsa_rawmidi, sysfs_description, &tree};
	}
};

TEST_F(SysfsTree, DescribesCards)
{
	const std::string m100(100, 'm'), p100(100, 'p'), m63(63, 'm'), p63(63, 'p'), p64(64, 'p');
	const std::string m400 = std::string(400, 'M') + "\n";
	const struct {
		const char *label;         // case name in failure output
		bool usb;                  // card on a USB device, else on PCI
		const char *manufacturer;  // manufacturer file, or null for none
		const char *product;       // product file, or null for none
		const char *id;            // card id file, or null for none
		description_status status; // expected answer
		std::string text;          // expected delivered bytes
	} cases[] = {
		{"manufacturer_product", true, "Roland\n", "UM-ONE\n", "UMONE\n", description_status::ok, "Roland UM-ONE"},
		{"product_only", true, nullptr, "UM-ONE\n", "UMONE\n", description_status::ok, "UM-ONE"},
		{"manufacturer_only", true, "Roland\n", nullptr, "UMONE\n", description_status::ok, "Roland"},
		{"usb_without_strings", true, nullptr, nullptr, "UMONE\n", description_status::ok, "UMONE"},
		{"id_only", false, nullptr, nullptr, "PCH\n", description_status::ok, "PCH"},
		{"nothing", false, nullptr, nullptr, nullptr, description_status::refused, ""},
		{"one_newline_stripped", true, nullptr, "Keys 49\n\n", nullptr, description_status::ok, "Keys 49\n"},
		{"blanks_kept", true, " Acme  \n", "Synth \n", nullptr, description_status::ok, " Acme   Synth "},
		{"no_newline", true, nullptr, "Keys 49", nullptr, description_status::ok, "Keys 49"},
		{"exactly_127", true, m63.c_str(), p63.c_str(), nullptr, description_status::ok, m63 + " " + p63},
		{"exactly_128", true, m63.c_str(), p64.c_str(), nullptr, description_status::too_long, m63 + " " + p64},
		{"joined_too_long", true, m100.c_str(), p100.c_str(), nullptr, description_status::too_long,
		 (m100 + " " + p100).substr(0, 128)},
		{"file_too_long", true, m400.c_str(), "P\n", nullptr, description_status::too_long, m400.substr(0, 128)},
	};
	for (int card = 0; card < static_cast<int>(std::size(cases)); ++card) {
		const auto &c = cases[card];
		if (c.usb)
			add_usb_card(card, c.manufacturer, c.product, c.id);
		else
			add_pci_card(card, c.id);
	}
	const std::string root_text = root.string();
	const sysfs_source_t tree{root_text.c_str()};
	for (int card = 0; card < static_cast<int>(std::size(cases)); ++card) {
		const auto &c = cases[card];
		SCOPED_TRACE(c.label);
		// The name buffer sits at the front of a larger one, so a write past
		// its 128 bytes would show.
		std::array<char, 2 * name_capacity> guarded;
		guarded.fill('#');
		std::size_t length = name_capacity;
		const description_status status =
			sysfs_description(&tree, card, name_span_t(guarded.data(), name_capacity), length);
		EXPECT_EQ(status, c.status);
		if (status != description_status::refused) {
			EXPECT_EQ(length, c.text.size());
			EXPECT_EQ(std::string(guarded.data(), length), c.text);
		}
		EXPECT_EQ(std::string(guarded.data() + name_capacity, name_capacity), std::string(name_capacity, '#'));
	}

	std::array<char, name_capacity> buffer{};
	std::size_t length = buffer.size();
	EXPECT_EQ(sysfs_description(&tree, 99, buffer, length), description_status::refused);
	EXPECT_EQ(sysfs_description(&tree, -1, buffer, length), description_status::refused);
	const std::string deep = root_text + std::string(5000, '/');
	const sysfs_source_t deep_tree{deep.c_str()};
	EXPECT_EQ(sysfs_description(&deep_tree, 0, buffer, length), description_status::refused);
}

TEST_F(SysfsTree, NamesClientsEndToEnd)
{
	add_usb_card(1, "Roland Corporation\n", "UM-ONE\n", "UMONE\n");
	add_usb_card(2, "Acme\n", "Keys 49, rev 2\n", "Keys\n");
	add_pci_card(0, "PCH\n");
	const std::string root_text = root.string();
	const sysfs_source_t tree{root_text.c_str()};
	const struct {
		const char *path;     // -C
		const char *prefix;   // -n, or null
		std::string expected; // the client name
	} cases[] = {
		{"/dev/snd/midiC1D0", nullptr, "Roland Corporati #0"},
		{"/dev/snd/midiC2D1", nullptr, "Acme Keys 49 #1"},
		{"/dev/snd/midiC0D2", nullptr, "PCH #2"},
		{"/dev/snd/midiC2", nullptr, "Acme Keys 49 #-1"},
		{"/dev/snd/midiC77D0", nullptr, "cableferry-snd/midiC77D0"},
		{"/dev/snd/midiC1D0", "synth", "synth-snd/midiC1D0"},
		{"/dev/umidi1.0", nullptr, "cableferry-umidi1.0"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.path);
		bridge_settings_t settings;
		settings.capture_path = c.path;
		if (c.prefix != nullptr)
			settings.name_prefix = c.prefix;
		EXPECT_EQ(make_client_name(settings, source(tree)), c.expected);
	}
}

#if defined(__linux__)
TEST(PlatformDescription, LinuxUsesSysfsForAlsaNodes)
{
	EXPECT_EQ(platform_description_source().family, node_family::alsa_rawmidi);
	EXPECT_EQ(platform_description_source().query, sysfs_description);
	// No machine here has a thousand sound cards, and /dev/umidi has no
	// description source on Linux.
	for (const char *path : {"/dev/snd/midiC999D0", "/dev/umidi0.0"}) {
		bridge_settings_t settings;
		settings.playback_path = path;
		EXPECT_EQ(make_client_name(settings), "cableferry-" + std::string(path + 5));
	}
}
#endif

} // namespace
} // namespace cableferry
