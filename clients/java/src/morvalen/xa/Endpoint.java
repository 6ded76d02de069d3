package morvalen.xa;

import java.util.ArrayList;
import java.util.List;

/**
 * One address of the service: a host (a name, an IPv4 address or an IPv6
 * address without brackets) and a port. A resource holds a list of them,
 * tried in order when it connects.
 */
record Endpoint(String host, int port) {
    /**
     * Parses "H[:P][,H[:P]]...": H a name or an IPv4 address, or an IPv6
     * address in brackets ("[::1]:1439"), or bare when it names no port;
     * an endpoint without a port takes defaultPort. Blanks around an entry
     * are ignored.
     *
     * @throws IllegalArgumentException for an empty list or entry, a port
     *                                  outside 1..65535, or an unclosed bracket
     */
    static List<Endpoint> parseList(String text, int defaultPort) {
        checkPort(defaultPort, text);
        List<Endpoint> list = new ArrayList<>();
        for (String entry : text.split(",", -1)) {
            list.add(parse(entry.strip(), defaultPort));
        }
        return List.copyOf(list);
    }

    private static Endpoint parse(String entry, int defaultPort) {
        if (entry.isEmpty()) {
            throw new IllegalArgumentException("an empty endpoint");
        }
        String host = entry;
        String port = null;
        if (entry.startsWith("[")) {
            int close = entry.indexOf(']');
            if (close < 0) {
                throw new IllegalArgumentException("endpoint " + entry + ": no closing ]");
            }
            host = entry.substring(1, close);
            String rest = entry.substring(close + 1);
            if (!rest.isEmpty()) {
                if (!rest.startsWith(":")) {
                    throw new IllegalArgumentException("endpoint " + entry + ": no port after ]");
                }
                port = rest.substring(1);
            }
        } else {
            int colon = entry.indexOf(':');
            // One colon separates the port; more are a bare IPv6 address without one.
            if (colon >= 0 && colon == entry.lastIndexOf(':')) {
                host = entry.substring(0, colon);
                port = entry.substring(colon + 1);
            }
        }
        if (host.isEmpty()) {
            throw new IllegalArgumentException("endpoint " + entry + ": no host");
        }
        int number = defaultPort;
        if (port != null) {
            if (port.isEmpty() || port.length() > 5 || !port.chars().allMatch(c -> c >= '0' && c <= '9')) {
                throw new IllegalArgumentException("endpoint " + entry + ": port " + port);
            }
            number = Integer.parseInt(port);
            checkPort(number, entry);
        }
        return new Endpoint(host, number);
    }

    private static void checkPort(int port, String where) {
        if (port <= 0 || port > 65535) {
            throw new IllegalArgumentException("port " + port + " (" + where + ")");
        }
    }

    /** True for the same host (case ignored) and port. */
    boolean sameAs(Endpoint other) {
        return port == other.port && host.equalsIgnoreCase(other.host);
    }

    @Override
    public String toString() {
        return host.indexOf(':') >= 0 ? "[" + host + "]:" + port : host + ":" + port;
    }
}
