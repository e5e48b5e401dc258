// The same minimal relay on Go's gorilla/websocket: one reader goroutine per connection, one
// writer goroutine draining a channel, rooms in a map under a mutex.
// Usage: go-relay <port> [host]
package main

import (
	"log"
	"net/http"
	"os"
	"sync"

	"github.com/gorilla/websocket"
)

type client struct {
	conn *websocket.Conn
	send chan message
}

type message struct {
	kind int
	data []byte
}

var (
	mu       sync.Mutex
	rooms    = map[string]map[*client]bool{}
	upgrader = websocket.Upgrader{CheckOrigin: func(*http.Request) bool { return true }}
)

func serve(w http.ResponseWriter, r *http.Request) {
	room := r.URL.Query().Get("room")
	if room == "" {
		http.Error(w, "missing room", http.StatusBadRequest)
		return
	}
	conn, err := upgrader.Upgrade(w, r, nil)
	if err != nil {
		return
	}
	c := &client{conn: conn, send: make(chan message, 256)}
	mu.Lock()
	if rooms[room] == nil {
		rooms[room] = map[*client]bool{}
	}
	rooms[room][c] = true
	mu.Unlock()

	go func() {
		for m := range c.send {
			if conn.WriteMessage(m.kind, m.data) != nil {
				break
			}
		}
		conn.Close()
	}()

	for {
		kind, data, err := conn.ReadMessage()
		if err != nil {
			break
		}
		mu.Lock()
		for peer := range rooms[room] {
			if peer != c {
				peer.send <- message{kind, data}
			}
		}
		mu.Unlock()
	}

	mu.Lock()
	delete(rooms[room], c)
	if len(rooms[room]) == 0 {
		delete(rooms, room)
	}
	mu.Unlock()
	close(c.send)
}

func main() {
	port, host := "49200", "127.0.0.1"
	if len(os.Args) > 1 {
		port = os.Args[1]
	}
	if len(os.Args) > 2 {
		host = os.Args[2]
	}
	http.HandleFunc("/", serve)
	log.Printf("go relay listening on %s:%s", host, port)
	log.Fatal(http.ListenAndServe(host+":"+port, nil))
}
