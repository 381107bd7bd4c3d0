// JACK metadata for the client and its ports.
//
// The labels are one constant table in port order.  The client's
// pretty-name reads the description the way the client name does (same
// naming node, same source, not with -n), but keeps all of it that the
// 128-byte buffer holds: no cut at a ',' or at 16 bytes.  Every call into
// libjack here may fail; the results are ignored on purpose, since a
// patchbay without our labels still shows the raw names.
#include "control/metadata.h"

#include <jack/jack.h>
#include <jack/metadata.h>
#include <jack/uuid.h>

#include <array>

#include "control/client_name.h"
#include "bridge/port_table.h"

namespace cableferry {

namespace {

constexpr std::array<port_label_t, labelled_port_count> port_labels = {{
	{"midi.TX", "MIDI capture", 1},
	{"midi.TX.CH0", "MIDI capture, channel 1", 2},
	{"midi.TX.CH1", "MIDI capture, channel 2", 3},
	{"midi.TX.CH2", "MIDI capture, channel 3", 4},
	{"midi.TX.CH3", "MIDI capture, channel 4", 5},
	{"midi.TX.CH4", "MIDI capture, channel 5", 6},
	{"midi.TX.CH5", "MIDI capture, channel 6", 7},
	{"midi.TX.CH6", "MIDI capture, channel 7", 8},
	{"midi.TX.CH7", "MIDI capture, channel 8", 9},
	{"midi.TX.CH8", "MIDI capture, channel 9", 10},
	{"midi.TX.CH9", "MIDI capture, channel 10", 11},
	{"midi.TX.CHA", "MIDI capture, channel 11", 12},
	{"midi.TX.CHB", "MIDI capture, channel 12", 13},
	{"midi.TX.CHC", "MIDI capture, channel 13", 14},
	{"midi.TX.CHD", "MIDI capture, channel 14", 15},
	{"midi.TX.CHE", "MIDI capture, channel 15", 16},
	{"midi.TX.CHF", "MIDI capture, channel 16", 17},
	{"midi.RX", "MIDI playback", 18},
}};

// The type JACK's documentation suggests for an order value.
constexpr const char *integer_type = "http://www.w3.org/2001/XMLSchema#int";

void set_property(jack_client_t *client, jack_uuid_t subject, const char *key, const std::string &value,
                  const char *type)
{
	jack_set_property(client, subject, key, value.c_str(), type);
}

void label_port(jack_client_t *client, jack_port_t *port, const port_label_t &label,
                const std::string &client_pretty, const std::string &node)
{
	if (port == nullptr)
		return;
	const jack_uuid_t uuid = jack_port_uuid(port);
	set_property(client, uuid, JACK_METADATA_PRETTY_NAME, label.pretty, nullptr);
	set_property(client, uuid, JACK_METADATA_HARDWARE, node, nullptr);
	set_property(client, uuid, JACK_METADATA_ORDER, std::to_string(label.order), integer_type);
	const int size = jack_port_name_size();
	if (size > 1) {
		const std::string alias =
			port_alias(client_pretty, label.pretty, static_cast<std::size_t>(size - 1));
		jack_port_set_alias(port, alias.c_str());
	}
}

} // namespace

const port_label_t &port_label(std::size_t index)
{
	return port_labels[index < port_labels.size() ? index : rx_label_index];
}

std::string client_pretty_name(const bridge_settings_t &settings, const description_source_t &source,
                               const rawmidi_port_t &port)
{
	std::optional<node_description_t> d = describe_naming_node(settings, source, port);
	if (d && !d->text.empty()) {
		if (d->subdevice >= 0 && port.name[0] != '\0')
			return d->text + " (" + port.name.data() + ")";
		return std::move(d->text);
	}
	const std::string *path = naming_path(settings);
	return path ? *path : std::string();
}

std::string port_alias(std::string_view client_pretty, std::string_view port_pretty,
                       std::size_t max_bytes)
{
	std::string alias(client_pretty);
	alias += ':';
	alias += port_pretty;
	return std::string(cut_utf8(alias, max_bytes));
}

void publish_metadata()
{
	jack_client_t *client = port_table.client;
	if (client == nullptr)
		return;
	const std::string pretty =
		client_pretty_name(bridge_settings, platform_description_source(), naming_port(bridge_settings));
	if (char *text = jack_get_uuid_for_client_name(client, jack_get_client_name(client))) {
		jack_uuid_t uuid;
		if (jack_uuid_parse(text, &uuid) == 0)
			set_property(client, uuid, JACK_METADATA_PRETTY_NAME, pretty, nullptr);
		jack_free(text);
	}
	const std::string capture = bridge_settings.capture_path.value_or("");
	for (std::size_t i = 0; i < output_port_count; i++)
		label_port(client, port_table.outputs[i], port_labels[i], pretty, capture);
	label_port(client, port_table.rx, port_labels[rx_label_index], pretty,
	           bridge_settings.playback_path.value_or(""));
}

} // namespace cableferry
